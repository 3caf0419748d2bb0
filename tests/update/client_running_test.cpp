// A run that finds the folder's client running ends before it writes a byte, whether the client
// runs as its own image or as an interpreter's script.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/running_programs.h"
#include "platform/wide_text.h"
#include "scratch.h"
#include "tools/standin/service.h"
#include "update/update_run.h"

namespace fs = std::filesystem;

namespace qs {
namespace {

constexpr char kHoldVariable[] = "QS_TEST_HOLD_AS_CLIENT";

#ifdef _WIN32
// Started as the client (a copy of this program), it only waits to be ended.
const bool kHeldAsClient = [] {
    if (std::getenv(kHoldVariable)) {
        Sleep(60000);
        ExitProcess(0);
    }
    return false;
}();

// A copy of this test program started as the client; ended with the guard.
class RunningClient {
public:
    RunningClient(const fs::path& executable, const fs::path&, const std::vector<std::string>&) {
        std::vector<wchar_t> self(32768);
        GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
        fs::copy_file(self.data(), executable, fs::copy_options::overwrite_existing);
        ScopedEnv hold(kHoldVariable, "1");
        std::wstring commandLine = L"\"" + executable.native() + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        if (!CreateProcessW(executable.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                            nullptr, nullptr, &startup, &process_))
            throw std::runtime_error("cannot start the client");
        CloseHandle(process_.hThread);
    }
    ~RunningClient() {
        TerminateProcess(process_.hProcess, 0);
        WaitForSingleObject(process_.hProcess, INFINITE);
        CloseHandle(process_.hProcess);
    }

private:
    PROCESS_INFORMATION process_{};
};
#else
// `program` with `arguments` started in `folder`; killed and reaped with the guard.
class RunningClient {
public:
    RunningClient(const fs::path& program, const fs::path& folder,
                  const std::vector<std::string>& arguments) {
        std::vector<std::string> strings{program.string()};
        strings.insert(strings.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& text : strings)
            argv.push_back(text.data());
        argv.push_back(nullptr);
        const std::string directory = folder.string();
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(directory.c_str()) == 0)
                execv(argv[0], argv.data());
            _exit(127);
        }
        if (pid_ < 0)
            throw std::runtime_error("cannot start the client");
    }
    ~RunningClient() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }

private:
    pid_t pid_ = -1;
};
#endif

class ClientRunningTest : public testing::Test {
protected:
    UpdateResult Run() {
        UpdateEnvironment environment;
        environment.service = service.endpoint();
        environment.wholeMark = folder.path() / "client-whole.txt";
        return RunClientUpdate(
            client, [](const qs::UpdateProgress&) {}, environment);
    }

    test::TestService service;
    TempFolder folder;
    fs::path client = folder.path() / "Quillon Saga" / "QuillonSaga Game";
    fs::path executable = client / "Quillon Saga.exe";
};

// While the client runs, a run with files to place fetches none and says why; once the client
// ended, the same run places them.
TEST_F(ClientRunningTest, RunRefusesBeforeFetchingWhileTheClientRuns) {
    struct Case {
        const char* name;
        std::string clientBytes;  // of the local executable, written before it starts
        fs::path program;         // what is started, with `arguments`, in the client folder
        std::vector<std::string> arguments;
    };
#ifdef _WIN32
    const std::vector<Case> cases = {{"its own image", "", executable, {}}};
#else
    const std::string script = "#!/bin/sh\nwhile :; do sleep 1; done\n";
    const std::vector<Case> cases = {
        {"its own image", ReadFile("/bin/sleep"), executable, {"60"}},
        {"a script the kernel hands to its interpreter", script, executable, {}},
        {"an interpreter given a relative path", script, "/bin/sh", {"Quillon Saga.exe"}},
    };
#endif
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        fs::remove_all(client);
        WriteFile(client / "a.dat", "old");
        WriteFile(executable, row.clientBytes);
        fs::permissions(executable, fs::perms::owner_all);
        service.setFile("a.dat", "new");
        service.setFile("Quillon Saga.exe", row.clientBytes + "new");
        {
            RunningClient running(row.program, client, row.arguments);
            ASSERT_TRUE(PollUntil([&] { return ProgramIsRunning(executable); }));
            const std::size_t requestsBefore = service.requestCount();
            const UpdateResult refused = Run();
            EXPECT_EQ(refused.outcome, RunOutcome::ClientRunning);
            EXPECT_EQ(WideToUtf8(refused.message), kCloseClientToUpdate);
            EXPECT_FALSE(refused.placedFiles);
            EXPECT_EQ(service.requestCount() - requestsBefore, 1u);  // the manifest alone
            EXPECT_EQ(ReadFile(client / "a.dat"), "old");
            EXPECT_FALSE(fs::exists(client / "a.dat.download"));
        }
        ASSERT_TRUE(PollUntil([&] { return !ProgramIsRunning(executable); }));
        const UpdateResult placed = Run();
        EXPECT_EQ(placed.outcome, RunOutcome::Ready) << WideToUtf8(placed.message);
        EXPECT_EQ(ReadFile(client / "a.dat"), "new");
    }
}

}  // namespace
}  // namespace qs
