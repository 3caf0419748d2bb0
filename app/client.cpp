#include "app/client.h"

#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/durable_file.h"
#include "platform/process.h"

namespace qs {

bool ClientExecutablePresent() {
    try {
        std::error_code error;
        bool present = std::filesystem::exists(ClientDirectory() / ClientExecutableName, error);
        return present && !error;
    } catch (const std::exception&) {
        return false;
    }
}

bool LaunchClient(const std::filesystem::path& executable,
                  const std::filesystem::path& workingDirectory, std::wstring& error) {
    // Downloads carry no file modes; a client without its execute bit gets it here.
    std::error_code statusError;
    if (std::filesystem::is_regular_file(executable, statusError))
        MakeExecutable(executable);
    int errorNumber = 0;
    if (StartDetachedProcess(executable, {}, workingDirectory, &errorNumber))
        return true;
    error = L"Could not start " + executable.filename().wstring() + L" (Error code: " +
            std::to_wstring(errorNumber) + L").";
    return false;
}

}  // namespace qs
