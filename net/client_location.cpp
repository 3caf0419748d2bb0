#include "net/client_location.h"

#include <stdexcept>

#include "platform/folders.h"

namespace qs {

const wchar_t* const ClientExecutableName = L"Quillon Saga.exe";

std::filesystem::path ClientDirectory() {
    auto roaming = RoamingDataFolder();
    if (!roaming)
        throw std::runtime_error("Cannot resolve AppData");
    return *roaming / "Quillon Saga" / "QuillonSaga Game";
}

std::filesystem::path LauncherDataFolder() {
    auto local = LocalDataFolder();
    if (!local)
        return {};
    return *local / "QuillonSagaLauncher";
}

}  // namespace qs
