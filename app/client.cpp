#include "app/client.h"

#include <stdexcept>
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
    if (StartDetachedProcess(executable, {}, workingDirectory))
        return true;
    error = L"Could not start QSClient.exe.";
    return false;
}

}  // namespace qs
