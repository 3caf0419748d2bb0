#include "platform/proxy_plan.h"

namespace qs {

ProxyPlan PlanProxy(bool automaticAvailable, const std::optional<UserProxySettings>& user) {
    if (automaticAvailable)
        return {ProxySessionKind::SystemAutomatic, false};
    if (!user)
        return {};
    return {user->namedProxy ? ProxySessionKind::UserNamedProxy : ProxySessionKind::MachineDefault,
            user->autoDetect || user->configScript};
}

}  // namespace qs
