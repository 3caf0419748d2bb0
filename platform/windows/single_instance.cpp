#include "platform/single_instance.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/wide_text.h"

namespace qs {

struct SingleInstance::Impl {
    bool primary = true;
    HANDLE mutex = nullptr;
    HANDLE showEvent = nullptr;
    HANDLE stopEvent = nullptr;
    std::atomic<bool> showRequested{false};
    std::thread listener;
};

SingleInstance::SingleInstance(const std::string& name, const std::filesystem::path&)
    : impl_(std::make_unique<Impl>()) {
    // "Local\\": one launcher per user session.
    const std::wstring base = L"Local\\" + Utf8ToWide(name);
    const std::wstring eventName = base + L".show";
    impl_->mutex = CreateMutexW(nullptr, FALSE, base.c_str());
    if (impl_->mutex && GetLastError() == ERROR_ALREADY_EXISTS) {
        impl_->primary = false;
        // The first instance raises its window when told; let it take the foreground from us.
        AllowSetForegroundWindow(ASFW_ANY);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        for (;;) {
            HANDLE show = OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName.c_str());
            if (show) {
                SetEvent(show);
                CloseHandle(show);
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline)
                break;
            Sleep(50);
        }
        return;
    }
    impl_->showEvent = CreateEventW(nullptr, FALSE, FALSE, eventName.c_str());
    impl_->stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!impl_->showEvent || !impl_->stopEvent)
        return;
    try {
        impl_->listener = std::thread([impl = impl_.get()] {
            const HANDLE events[2] = {impl->stopEvent, impl->showEvent};
            while (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1)
                impl->showRequested.store(true);
        });
    } catch (...) {
    }
}

SingleInstance::~SingleInstance() {
    if (impl_->listener.joinable()) {
        SetEvent(impl_->stopEvent);
        impl_->listener.join();
    }
    for (HANDLE handle : {impl_->showEvent, impl_->stopEvent, impl_->mutex})
        if (handle)
            CloseHandle(handle);
}

bool SingleInstance::isPrimary() const {
    return impl_->primary;
}

bool SingleInstance::takeShowRequest() {
    return impl_->showRequested.exchange(false);
}

}  // namespace qs
