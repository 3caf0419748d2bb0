#pragma once
// One launcher per user. The first start holds a lock for its whole life; the system drops it when
// the process ends, so a crash leaves nothing that blocks the next start. Later starts find it,
// ask it to show its window, and leave.
#include <filesystem>
#include <memory>
#include <string>

namespace qs {

class SingleInstance {
public:
    // `name` names the program for this user. Linux keeps a lock file and a local socket in a
    // folder "<name>-<user id>" of mode 0700 made in `lockFolder`, so no other user can hold the
    // lock or answer in the first instance's place (a later start also checks the listener is
    // this user); Windows uses a named mutex and a named event in the session and ignores the
    // folder.
    SingleInstance(const std::string& name, const std::filesystem::path& lockFolder);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // False when another instance holds the lock; it has then been asked to show itself (waiting
    // up to about a second for it to listen). A lock that cannot be made at all never stops a
    // start: this instance is then the first.
    bool isPrimary() const;

    // The first instance: true once after each later start asked it to show its window.
    // Thread-safe.
    bool takeShowRequest();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qs
