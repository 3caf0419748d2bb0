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
#include "platform/single_instance.h"
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

// The window procedure resizes the swap chain, so the graphics objects are process-wide.
ID3D11Device* g_device = nullptr;
ID3D11DeviceContext* g_context = nullptr;
IDXGISwapChain* g_swapChain = nullptr;
ID3D11RenderTargetView* g_renderTarget = nullptr;
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
    D3D_FEATURE_LEVEL obtained{};
    return SUCCEEDED(D3D11CreateDeviceAndSwapChain(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0,
                                                   levels, 2, D3D11_SDK_VERSION, &description,
                                                   &g_swapChain, &g_device, &obtained, &g_context));
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
            if (g_device != nullptr && wParam != SIZE_MINIMIZED) {
                ReleaseRenderTarget();
                g_swapChain->ResizeBuffers(0, LOWORD(lParam), HIWORD(lParam), DXGI_FORMAT_UNKNOWN,
                                           0);
                CreateRenderTarget();
                return 0;
            }
            break;
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

void RenderFrame() {
    // A failed resize leaves no render target until the next one succeeds.
    if (g_renderTarget == nullptr)
        return;
    g_context->OMSetRenderTargets(1, &g_renderTarget, nullptr);
    g_context->ClearRenderTargetView(g_renderTarget, kClearColour);
    ImGui_ImplDX11_RenderDrawData(ImGui::GetDrawData());
    g_swapChain->Present(1, 0);
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
    HWND window =
        CreateWindowExW(0, kWindowClassName, kWindowTitle, WS_POPUP, kWindowX, kWindowY,
                        designSize.width, designSize.height, nullptr, nullptr, instance, nullptr);
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
        return 1;
    }
    CreateRenderTarget();

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
    ID3D11SamplerState* imageSampler = CreateMipmapSampler(g_device);

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
    for (;;) {
        const FrameClock::time_point frameStart = FrameClock::now();
        if (PumpMessages())
            break;
        if (single.takeShowRequest())
            windowActions.show();
        ApplyRequestedScale(ui);
        BuildLauncherFrame(
            ui, state,
            [] {
                ImGui_ImplDX11_NewFrame();
                ImGui_ImplWin32_NewFrame();
            },
            [imageSampler] { UseSamplerThisFrame(imageSampler); });
        RenderFrame();
        assets.afterFrame(upload);
        ActOnRequests(ui, state, windowActions);
        // Present waits for the vertical blank, but not for a minimised or hidden window.
        PaceFrame(frameStart, true, IsIconic(window) || !IsWindowVisible(window));
    }

    // Shutdown. The window is already hidden; a running task gives up its transfer.
    ShowWindow(window, SW_HIDE);
    BeginShutdown(state, kShutdownLimit);
    JoinWorker(state);
    StopBackgroundClients();
    StopLog();
    ImGui_ImplDX11_Shutdown();
    ImGui_ImplWin32_Shutdown();
    if (imageSampler != nullptr)
        imageSampler->Release();
    ReleaseRenderTarget();
    DestroyLauncherInterface(DeleteTexture);
    ReleaseDevice();
    CoUninitialize();
    DestroyWindow(window);
    UnregisterClassW(kWindowClassName, instance);
    return 0;
}

}  // namespace qs
