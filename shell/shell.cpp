#include "shell/shell.h"

#include <SDL.h>
#include <backends/imgui_impl_opengl3.h>
#include <backends/imgui_impl_sdl.h>
#include <imgui.h>

#include <GL/gl.h>

#include <cstdlib>

#include "app/state.h"
#include "net/https.h"
#include "platform/single_instance.h"
#include "shell/background_clients.h"
#include "shell/frame_loop.h"
#include "shell/gl_textures.h"
#include "shell/window_rules.h"
#include "ui/ui_state.h"

namespace qs {

namespace {

constexpr float kClearColour[4] = {0.07f, 0.07f, 0.09f, 1.0f};

// `data` is the interface's scale, which changes when the window moves to another display.
SDL_HitTestResult HitTest(SDL_Window*, const SDL_Point* point, void* data) {
    const float scale = *static_cast<const float*>(data);
    return IsInDragStrip(point->x, point->y, scale) ? SDL_HITTEST_DRAGGABLE : SDL_HITTEST_NORMAL;
}

// QS_UI_SCALE when set, else the display's own dots per inch.
float DisplayScale(int displayIndex) {
    float dpi = 0.0f;
    if (SDL_GetDisplayDPI(displayIndex, &dpi, nullptr, nullptr) != 0)
        dpi = 0.0f;
    return ChooseUiScale(std::getenv("QS_UI_SCALE"), dpi);
}

// Another display, another factor: the window, the fonts and the layout follow it.
void ApplyScale(SDL_Window* window, UiState& ui, float scale) {
    if (scale == ui.scale)
        return;
    ui.scale = scale;
    const WindowSize size = WindowSizeForScale(scale);
    SDL_SetWindowSize(window, size.width, size.height);
    RescaleLauncherInterface(scale);
    ImGui_ImplOpenGL3_DestroyFontsTexture();
    ImGui_ImplOpenGL3_CreateFontsTexture();
}

// SDL_PushEvent is safe from any thread; the loop ends at its next pump.
void PushQuit() {
    SDL_Event quit{};
    quit.type = SDL_QUIT;
    SDL_PushEvent(&quit);
}

// Pumps every pending event; true when the window was asked to close.
bool PumpEvents(SDL_Window* window, UiState& ui) {
    bool quit = false;
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        ImGui_ImplSDL2_ProcessEvent(&event);
        if (event.type == SDL_QUIT)
            quit = true;
        if (event.type != SDL_WINDOWEVENT || event.window.windowID != SDL_GetWindowID(window))
            continue;
        if (event.window.event == SDL_WINDOWEVENT_CLOSE)
            quit = true;
        if (event.window.event == SDL_WINDOWEVENT_DISPLAY_CHANGED)
            ApplyScale(window, ui, DisplayScale(event.window.data1));
    }
    return quit;
}

void RenderFrame(SDL_Window* window) {
    int width = 0, height = 0;
    SDL_GL_GetDrawableSize(window, &width, &height);
    glViewport(0, 0, width, height);
    glClearColor(kClearColour[0], kClearColour[1], kClearColour[2], kClearColour[3]);
    glClear(GL_COLOR_BUFFER_BIT);
    ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
    SDL_GL_SwapWindow(window);
}

bool IsMinimized(SDL_Window* window) {
    return (SDL_GetWindowFlags(window) & (SDL_WINDOW_MINIMIZED | SDL_WINDOW_HIDDEN)) != 0;
}

}  // namespace

int RunLauncher() {
    // libcurl's global set-up must precede every other thread, SDL's included.
    InitializeHttps();

    // A second start shows the running launcher instead: two would write the same client files.
    SingleInstance instance(kInstanceName, InstanceLockFolder());
    if (!instance.isPrimary())
        return 0;
    StartLog();

    if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_TIMER | SDL_INIT_EVENTS) != 0)
        return 1;
    // The fonts and images get going while the window and its GL context come up.
    UiState ui;
    ui.scale = DisplayScale(0);
    ui.pageKeys = {SDL_SCANCODE_1, SDL_SCANCODE_2, SDL_SCANCODE_3};
    InterfaceAssets assets(ui.scale);

    SDL_GL_SetAttribute(SDL_GL_CONTEXT_MAJOR_VERSION, 3);
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_MINOR_VERSION, 3);
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_PROFILE_MASK, SDL_GL_CONTEXT_PROFILE_CORE);
    SDL_GL_SetAttribute(SDL_GL_DOUBLEBUFFER, 1);
    SDL_GL_SetAttribute(SDL_GL_DEPTH_SIZE, 0);
    SDL_GL_SetAttribute(SDL_GL_STENCIL_SIZE, 0);

    // 1-3: a hidden borderless window and its GL context; without them there is no launcher.
    const WindowSize size = WindowSizeForScale(ui.scale);
    SDL_Window* window =
        SDL_CreateWindow("Quillon Saga", 120, 80, size.width, size.height,
                         SDL_WINDOW_OPENGL | SDL_WINDOW_BORDERLESS | SDL_WINDOW_HIDDEN);
    if (window == nullptr) {
        SDL_Quit();
        return 1;
    }
    SDL_GLContext context = SDL_GL_CreateContext(window);
    if (context == nullptr) {
        SDL_DestroyWindow(window);
        SDL_Quit();
        return 1;
    }
    SDL_GL_MakeCurrent(window, context);
    const bool vsyncActive = SDL_GL_SetSwapInterval(1) == 0;
    SDL_SetWindowHitTest(window, HitTest, &ui.scale);

    // 4: show it.
    SDL_ShowWindow(window);

    // 6-9: interface library, style, fonts, images, backends.
    CreateLauncherInterface(assets, ui.scale);
    ImGui_ImplSDL2_InitForOpenGL(window, context);
    ImGui_ImplOpenGL3_Init("#version 330");

    // 10: the background clients.
    StartBackgroundClients();

    // 11: the state block; a worker's close request becomes an SDL quit event.
    LauncherState state;
    state.window = PushQuit;

    // 12: the main loop.
    const WindowActions windowActions{[window] { SDL_MinimizeWindow(window); }, PushQuit,
                                      [window] {
                                          SDL_ShowWindow(window);
                                          SDL_RestoreWindow(window);
                                          SDL_RaiseWindow(window);
                                      }};
    for (;;) {
        const FrameClock::time_point frameStart = FrameClock::now();
        if (PumpEvents(window, ui))
            break;
        if (instance.takeShowRequest())
            windowActions.show();
        BuildLauncherFrame(ui, state, [] {
            ImGui_ImplOpenGL3_NewFrame();
            ImGui_ImplSDL2_NewFrame();
        });
        RenderFrame(window);
        assets.afterFrame(UploadTexture);
        ActOnRequests(ui, state, windowActions);
        PaceFrame(frameStart, vsyncActive, IsMinimized(window));
    }

    // Shutdown. The window goes away at once; a running task gives up its transfer.
    SDL_HideWindow(window);
    BeginShutdown(state, kShutdownLimit);
    JoinWorker(state);
    StopBackgroundClients();
    StopLog();
    ImGui_ImplOpenGL3_Shutdown();
    ImGui_ImplSDL2_Shutdown();
    DestroyLauncherInterface(DeleteTexture);
    SDL_GL_DeleteContext(context);
    SDL_DestroyWindow(window);
    SDL_Quit();
    return 0;
}

}  // namespace qs
