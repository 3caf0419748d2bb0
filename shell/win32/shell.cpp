#include "shell/shell.h"

#include <d3d11.h>
#include <dxgi.h>
#include <objbase.h>
#include <windows.h>
#include <windowsx.h>

#include <backends/imgui_impl_dx11.h>
#include <backends/imgui_impl_win32.h>
#include <imgui.h>

#include <cstdlib>

#include "app/state.h"
#include "net/https.h"
#include "platform/launcher_log.h"
#include "platform/power.h"
#include "platform/process.h"
#include "platform/single_instance.h"
#include "resources/resources.h"
#include "shell/background_clients.h"
#include "shell/frame_loop.h"
#include "shell/win32/d3d_textures.h"
#include "shell/window_rules.h"
#include "ui/ui_state.h"

// The backend leaves declaring its message hook to the application.
extern IMGUI_IMPL_API LRESULT ImGui_ImplWin32_WndProcHandler(HWND window, UINT message,
                                                             WPARAM wParam, LPARAM lParam);

namespace qs {

namespace {

constexpr wchar_t kWindowClassName[] = L"QuillonSagaLauncher";
constexpr wchar_t kWindowTitle[] = L"Quillon Saga";
constexpr int kWindowX = 120;
constexpr int kWindowY = 80;
constexpr float kClearColour[4] = {0.07f, 0.07f, 0.09f, 1.0f};
// WM_GETDPISCALEDSIZE (Windows 10 1703), which older headers do not name.
constexpr UINT kGetDpiScaledSize = 0x02E4;
static_assert(DXGI_STATUS_OCCLUDED == static_cast<HRESULT>(0x087A0001) &&
              DXGI_ERROR_DEVICE_REMOVED == static_cast<HRESULT>(0x887A0005));

// The window procedure resizes the swap chain, so the graphics objects are process-wide.
ID3D11Device* g_device = nullptr;
ID3D11DeviceContext* g_context = nullptr;
IDXGISwapChain* g_swapChain = nullptr;
ID3D11RenderTargetView* g_renderTarget = nullptr;
ID3D11SamplerState* g_imageSampler = nullptr;
// Set where a Present or ResizeBuffers finds the device gone; the loop then makes it again.
bool g_deviceLost = false;
// Presenting found the window covered; frames wait for messages until a test present shows it.
bool g_occluded = false;
ShortClickLatch g_shortClicks;
// The interface's scale, read by the drag strip's hit test, and the one WM_DPICHANGED asks for
// (applied between frames, where the fonts can be rebuilt).
float g_scale = 1.0f;
float g_requestedScale = 1.0f;

// Per-monitor awareness v2 where the system has it (Windows 10 1703 on): the window gets its
// real pixels and WM_DPICHANGED. Older systems take the backend's best offer.
void BecomeDpiAware() {
    using SetContext = BOOL(WINAPI*)(HANDLE);
    const HMODULE user32 = GetModuleHandleW(L"user32.dll");
    const auto set = user32 ? reinterpret_cast<SetContext>(reinterpret_cast<void*>(
                                  GetProcAddress(user32, "SetProcessDpiAwarenessContext")))
                            : nullptr;
    // DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2, spelled out for older headers.
    if (set == nullptr || !set(reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-4))))
        ImGui_ImplWin32_EnableDpiAwareness();
}

// QS_UI_SCALE when set, else the window's monitor.
float WindowScale(HWND window) {
    return ChooseUiScale(std::getenv("QS_UI_SCALE"),
                         96.0f * ImGui_ImplWin32_GetDpiScaleForHwnd(window));
}

// Resizes the window for `scale`, keeping its top-left corner.
void SizeWindowForScale(HWND window, float scale) {
    const WindowSize size = WindowSizeForScale(scale);
    SetWindowPos(window, nullptr, 0, 0, size.width, size.height,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CreateRenderTarget() {
    ID3D11Texture2D* backBuffer = nullptr;
    if (FAILED(g_swapChain->GetBuffer(0, IID_PPV_ARGS(&backBuffer))))
        return;
    g_device->CreateRenderTargetView(backBuffer, nullptr, &g_renderTarget);
    backBuffer->Release();
}

void ReleaseRenderTarget() {
    if (g_renderTarget != nullptr) {
        g_renderTarget->Release();
        g_renderTarget = nullptr;
    }
}

void ReleaseDevice();

// Alt+Enter would switch the swap chain to exclusive full screen, which the launcher's fixed
// borderless window has no use for.
void RefuseAltEnter(HWND window) {
    IDXGIFactory* factory = nullptr;
    if (SUCCEEDED(g_swapChain->GetParent(IID_PPV_ARGS(&factory)))) {
        factory->MakeWindowAssociation(window, DXGI_MWA_NO_ALT_ENTER);
        factory->Release();
    }
}

// The graphics card's device, else WARP, Direct3D's software device (virtual machines, remote
// sessions and broken drivers have no usable hardware device).
bool CreateDevice(HWND window) {
    DXGI_SWAP_CHAIN_DESC description{};
    description.BufferDesc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    description.SampleDesc.Count = 1;
    description.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    description.BufferCount = 2;
    description.OutputWindow = window;
    description.Windowed = TRUE;
    description.SwapEffect = DXGI_SWAP_EFFECT_DISCARD;
    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_0};
    for (const D3D_DRIVER_TYPE driver : {D3D_DRIVER_TYPE_HARDWARE, D3D_DRIVER_TYPE_WARP}) {
        D3D_FEATURE_LEVEL obtained{};
        if (SUCCEEDED(D3D11CreateDeviceAndSwapChain(nullptr, driver, nullptr, 0, levels, 2,
                                                    D3D11_SDK_VERSION, &description, &g_swapChain,
                                                    &g_device, &obtained, &g_context))) {
            RefuseAltEnter(window);
            return true;
        }
        ReleaseDevice();
    }
    return false;
}

void ReleaseDevice() {
    ReleaseRenderTarget();
    if (g_swapChain != nullptr)
        g_swapChain->Release();
    if (g_context != nullptr)
        g_context->Release();
    if (g_device != nullptr)
        g_device->Release();
    g_swapChain = nullptr;
    g_context = nullptr;
    g_device = nullptr;
}

// The mouse button a press message is about, or -1.
int PressedButton(UINT message, WPARAM wParam) {
    switch (message) {
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK:
            return 0;
        case WM_RBUTTONDOWN:
        case WM_RBUTTONDBLCLK:
            return 1;
        case WM_MBUTTONDOWN:
        case WM_MBUTTONDBLCLK:
            return 2;
        case WM_XBUTTONDOWN:
        case WM_XBUTTONDBLCLK:
            return GET_XBUTTON_WPARAM(wParam) == XBUTTON1 ? 3 : 4;
        default:
            return -1;
    }
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // The drag strip is decided before the interface sees the message.
    if (message == WM_NCHITTEST) {
        const LRESULT hit = DefWindowProcW(window, message, wParam, lParam);
        if (hit != HTCLIENT)
            return hit;
        POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        ScreenToClient(window, &point);
        return IsInDragStrip(point.x, point.y, g_scale) ? HTCAPTION : hit;
    }
    if (const int button = PressedButton(message, wParam); button >= 0)
        g_shortClicks.pressed(button);
    if (ImGui_ImplWin32_WndProcHandler(window, message, wParam, lParam) != 0)
        return 1;
    switch (message) {
        case WM_SIZE:
            if (g_device != nullptr && wParam != SIZE_MINIMIZED && !g_deviceLost) {
                ReleaseRenderTarget();
                const HRESULT resized = g_swapChain->ResizeBuffers(
                    0, LOWORD(lParam), HIWORD(lParam), DXGI_FORMAT_UNKNOWN, 0);
                if (StepAfterPresent(resized) == PresentStep::Rebuild)
                    g_deviceLost = true;
                else
                    CreateRenderTarget();
                return 0;
            }
            break;
        case kGetDpiScaledSize: {
            // The size at the new monitor's scale, asked before a move between monitors: the
            // system's proportional guess would be corrected by WM_DPICHANGED, and the window
            // would bounce.
            const WindowSize size = WindowSizeForScale(
                ChooseUiScale(std::getenv("QS_UI_SCALE"), static_cast<float>(wParam)));
            SIZE* proposed = reinterpret_cast<SIZE*>(lParam);
            proposed->cx = size.width;
            proposed->cy = size.height;
            return TRUE;
        }
        case WM_DPICHANGED: {
            // The system's suggested rectangle keeps the window under the pointer while dragged.
            const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
            const float scale =
                ChooseUiScale(std::getenv("QS_UI_SCALE"), static_cast<float>(HIWORD(wParam)));
            g_requestedScale = scale;
            const WindowSize size = WindowSizeForScale(scale);
            SetWindowPos(window, nullptr, suggested->left, suggested->top, size.width, size.height,
                         SWP_NOZORDER | SWP_NOACTIVATE);
            return 0;
        }
        case WM_CLOSE:
            // The window disappears at once; it is destroyed after the worker and the graphics
            // objects that present into it.
            ShowWindow(window, SW_HIDE);
            PostQuitMessage(0);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// True when a WM_QUIT was among the pending messages.
bool PumpMessages() {
    ImGuiIO& io = ImGui::GetIO();
    g_shortClicks.beforePump(io.MouseDown);
    bool quit = false;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT)
            quit = true;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    g_shortClicks.afterPump(io.MouseDown);
    return quit;
}

// What a Present said: a covered window idles, a lost device is made again by the loop.
void TakePresentResult(HRESULT presented) {
    switch (StepAfterPresent(presented)) {
        case PresentStep::Idle:
            g_occluded = true;
            break;
        case PresentStep::Rebuild:
            g_deviceLost = true;
            break;
        case PresentStep::Continue:
            g_occluded = false;
            break;
    }
}

// The swap chain's Present. The test build's smoke run loses the device once, at the frame
// QS_TEST_LOSE_DEVICE_AT_FRAME names, so the rebuild runs for real under Wine.
HRESULT PresentFrame() {
#ifdef QS_TEST_HOOKS
    static const long loseAt = [] {
        const char* text = std::getenv("QS_TEST_LOSE_DEVICE_AT_FRAME");
        return text ? std::strtol(text, nullptr, 10) : -1L;
    }();
    static long frame = 0;
    if (frame++ == loseAt)
        return DXGI_ERROR_DEVICE_REMOVED;
#endif
    return g_swapChain->Present(1, 0);
}

void RenderFrame() {
    // A failed resize leaves no render target until the next one succeeds.
    if (g_renderTarget == nullptr || g_deviceLost)
        return;
    // While covered only a test present asks whether the window shows again.
    if (g_occluded) {
        TakePresentResult(g_swapChain->Present(0, DXGI_PRESENT_TEST));
        if (g_occluded || g_deviceLost)
            return;
    }
    g_context->OMSetRenderTargets(1, &g_renderTarget, nullptr);
    g_context->ClearRenderTargetView(g_renderTarget, kClearColour);
    ImGui_ImplDX11_RenderDrawData(ImGui::GetDrawData());
    TakePresentResult(PresentFrame());
}

// After the device was lost, everything made on it is made again on a new one: swap chain,
// render target, the backend's objects, the sampler and the images. False when no device at all
// can be made.
bool RebuildGraphics(HWND window, const TextureUploader& upload) {
    const bool hadImages = Textures().texBackground != nullptr;
    ImGui_ImplDX11_Shutdown();
    ReleaseUiTextures(DeleteTexture);
    if (g_imageSampler != nullptr)
        g_imageSampler->Release();
    g_imageSampler = nullptr;
    ReleaseDevice();
    g_deviceLost = false;
    g_occluded = false;
    if (!CreateDevice(window)) {
        LogEvent("graphics device lost; no new one could be made");
        return false;
    }
    LogEvent("graphics device lost; made again");
    CreateRenderTarget();
    ImGui_ImplDX11_Init(g_device, g_context);
    g_imageSampler = CreateMipmapSampler(g_device);
    // Images still being decoded at start-up are uploaded by the assets, onto the new device.
    if (hadImages)
        LoadUiTextures(FindResourceData, upload);
    return true;
}

// A launcher that cannot draw says so instead of ending without a word.
void ReportNoGraphics() {
    MessageBoxW(nullptr,
                L"Quillon Saga Launcher could not start Direct3D 11, not even its software "
                L"renderer. Updating the graphics driver or Windows may help.",
                kWindowTitle, MB_OK | MB_ICONERROR);
}

// Minimised, hidden or covered: nothing to draw until a message comes, or a while passes.
void WaitForMessages() {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, kIdleWaitMilliseconds, QS_ALLINPUT);
}

}  // namespace

// Another monitor, another factor: fonts and layout follow between two frames.
void ApplyRequestedScale(UiState& ui) {
    if (g_requestedScale == ui.scale)
        return;
    ui.scale = g_scale = g_requestedScale;
    RescaleLauncherInterface(ui.scale);
    ImGui_ImplDX11_InvalidateDeviceObjects();
    ImGui_ImplDX11_CreateDeviceObjects();
}

int RunLauncher() {
    InitializeHttps();
    BecomeDpiAware();
    // A second start shows the running launcher instead: two would write the same client files.
    SingleInstance single(kInstanceName, InstanceLockFolder());
    if (!single.isPrimary())
        return 0;
    StartLog();
    const HINSTANCE instance = GetModuleHandleW(nullptr);

    // 1: the window class and the hidden borderless window. The class has no icon: the
    // executable's icon resource is its file icon only.
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_CLASSDC;
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClassName;
    RegisterClassExW(&windowClass);
    const WindowSize designSize = WindowSizeForScale(1.0f);
    // A minimise box, though none is drawn: the taskbar button minimises the window with it.
    HWND window = CreateWindowExW(
        0, kWindowClassName, kWindowTitle, WS_POPUP | WS_MINIMIZEBOX | WS_SYSMENU, kWindowX,
        kWindowY, designSize.width, designSize.height, nullptr, nullptr, instance, nullptr);
    // The monitor the window landed on sets the scale; fonts and images get going meanwhile.
    UiState ui;
    ui.pageKeys = {'1', '2', '3'};
    if (window != nullptr) {
        ui.scale = g_scale = g_requestedScale = WindowScale(window);
        SizeWindowForScale(window, ui.scale);
    }
    InterfaceAssets assets(ui.scale);

    // 2-3: device, swap chain and render target; without them there is no launcher.
    if (window == nullptr || !CreateDevice(window)) {
        ReleaseDevice();
        if (window != nullptr)
            DestroyWindow(window);
        UnregisterClassW(kWindowClassName, instance);
        ReportNoGraphics();
        return 1;
    }
    CreateRenderTarget();
    // The elevation prompt of a client or an installer belongs to this window.
    SetDialogOwnerWindow(window);

    // 4: show it.
    ShowWindow(window, SW_SHOWDEFAULT);
    UpdateWindow(window);

    // 5: image decoding and the shell calls of the pages need an apartment on this thread.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    // 6-9: interface library, style, fonts, images, backends.
    CreateLauncherInterface(assets, ui.scale);
    const TextureUploader upload = [](const DecodedImage& image) {
        return UploadTexture(g_device, g_context, image);
    };
    ImGui_ImplWin32_Init(window);
    ImGui_ImplDX11_Init(g_device, g_context);
    g_imageSampler = CreateMipmapSampler(g_device);

    // 10: the background clients.
    StartBackgroundClients();

    // 11: the state block; a worker's close request is a WM_CLOSE to the window.
    LauncherState state;
    state.window = [window] { PostMessageW(window, WM_CLOSE, 0, 0); };

    // 12: the main loop.
    const WindowActions windowActions{[window] { ShowWindow(window, SW_MINIMIZE); },
                                      [window] { PostMessageW(window, WM_CLOSE, 0, 0); },
                                      [window] {
                                          ShowWindow(window,
                                                     IsIconic(window) ? SW_RESTORE : SW_SHOW);
                                          SetForegroundWindow(window);
                                      }};
    qs::SleepBlocker stayAwake;
    bool graphicsLost = false;
    for (;;) {
        const FrameClock::time_point frameStart = FrameClock::now();
        if (PumpMessages())
            break;
        if (single.takeShowRequest())
            windowActions.show();
        if (g_deviceLost && !RebuildGraphics(window, upload)) {
            graphicsLost = true;
            break;
        }
        ApplyRequestedScale(ui);
        BuildLauncherFrame(
            ui, state,
            [] {
                ImGui_ImplDX11_NewFrame();
                ImGui_ImplWin32_NewFrame();
            },
            [] { UseSamplerThisFrame(g_imageSampler); });
        RenderFrame();
        assets.afterFrame(upload);
        ActOnRequests(ui, state, windowActions);
        stayAwake.hold(state.busy.load());
        // Present waits for the vertical blank, but not for a minimised, hidden or covered window.
        if (IsIconic(window) || !IsWindowVisible(window) || g_occluded)
            WaitForMessages();
        else
            PaceFrame(frameStart, true, false);
    }

    // Shutdown. The window is already hidden; a running task gives up its transfer.
    ShowWindow(window, SW_HIDE);
    BeginShutdown(state, kShutdownLimit);
    JoinWorker(state);
    StopBackgroundClients();
    StopLog();
    if (!graphicsLost)  // a failed rebuild shut the backend down already
        ImGui_ImplDX11_Shutdown();
    ImGui_ImplWin32_Shutdown();
    if (g_imageSampler != nullptr)
        g_imageSampler->Release();
    ReleaseRenderTarget();
    DestroyLauncherInterface(DeleteTexture);
    ReleaseDevice();
    CoUninitialize();
    DestroyWindow(window);
    UnregisterClassW(kWindowClassName, instance);
    if (graphicsLost) {
        ReportNoGraphics();
        return 1;
    }
    return 0;
}

}  // namespace qs
