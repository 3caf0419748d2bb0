#include "app/shell/shell.h"

#include <SDL.h>
#include <backends/imgui_impl_opengl3.h>
#include <backends/imgui_impl_sdl.h>
#include <imgui.h>

#include <GL/gl.h>

#include "app/shell/background_clients.h"
#include "app/shell/frame_loop.h"
#include "app/shell/gl_textures.h"
#include "app/shell/window_rules.h"
#include "app/state.h"
#include "platform/single_instance.h"
#include "ui/ui_state.h"
#include "update/https.h"

namespace {

constexpr int kWindowWidth = 1280;
constexpr int kWindowHeight = 760;
constexpr float kClearColour[4] = {0.07f, 0.07f, 0.09f, 1.0f};

SDL_HitTestResult HitTest(SDL_Window*, const SDL_Point* point, void*) {
    return IsInDragStrip(point->x, point->y) ? SDL_HITTEST_DRAGGABLE : SDL_HITTEST_NORMAL;
}

// SDL_PushEvent is safe from any thread; the loop ends at its next pump.
void PushQuit() {
    SDL_Event quit{};
    quit.type = SDL_QUIT;
    SDL_PushEvent(&quit);
}

// Pumps every pending event; true when the window was asked to close.
bool PumpEvents(SDL_Window* window) {
    bool quit = false;
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        ImGui_ImplSDL2_ProcessEvent(&event);
        if (event.type == SDL_QUIT)
            quit = true;
        if (event.type == SDL_WINDOWEVENT && event.window.event == SDL_WINDOWEVENT_CLOSE &&
            event.window.windowID == SDL_GetWindowID(window))
            quit = true;
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

    if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_TIMER | SDL_INIT_EVENTS) != 0)
        return 1;
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_MAJOR_VERSION, 3);
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_MINOR_VERSION, 3);
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_PROFILE_MASK, SDL_GL_CONTEXT_PROFILE_CORE);
    SDL_GL_SetAttribute(SDL_GL_DOUBLEBUFFER, 1);
    SDL_GL_SetAttribute(SDL_GL_DEPTH_SIZE, 0);
    SDL_GL_SetAttribute(SDL_GL_STENCIL_SIZE, 0);

    // 1-3: a hidden borderless window and its GL context; without them there is no launcher.
    SDL_Window* window =
        SDL_CreateWindow("Quillon Saga", 120, 80, kWindowWidth, kWindowHeight,
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
    SDL_SetWindowHitTest(window, HitTest, nullptr);

    // 4: show it.
    SDL_ShowWindow(window);

    // 6-9: interface library, style, fonts, images, backends.
    CreateLauncherInterface(UploadTexture);
    ImGui_ImplSDL2_InitForOpenGL(window, context);
    ImGui_ImplOpenGL3_Init("#version 330");

    // 10: the background clients.
    StartBackgroundClients();

    // 11: the state block; a worker's close request becomes an SDL quit event.
    LauncherState state;
    state.window = PushQuit;
    UiState ui;

    // 12: the main loop.
    const WindowActions windowActions{[window] { SDL_MinimizeWindow(window); }, PushQuit,
                                      [window] {
                                          SDL_ShowWindow(window);
                                          SDL_RestoreWindow(window);
                                          SDL_RaiseWindow(window);
                                      }};
    for (;;) {
        const FrameClock::time_point frameStart = FrameClock::now();
        if (PumpEvents(window))
            break;
        if (instance.takeShowRequest())
            windowActions.show();
        BuildLauncherFrame(ui, state, [] {
            ImGui_ImplOpenGL3_NewFrame();
            ImGui_ImplSDL2_NewFrame();
        });
        RenderFrame(window);
        ActOnRequests(ui, state, windowActions);
        PaceFrame(frameStart, vsyncActive, IsMinimized(window));
    }

    // Shutdown. The window goes away at once; a running task gives up its transfer.
    SDL_HideWindow(window);
    BeginShutdown(state, kShutdownLimit);
    JoinWorker(state);
    StopBackgroundClients();
    ImGui_ImplOpenGL3_Shutdown();
    ImGui_ImplSDL2_Shutdown();
    DestroyLauncherInterface(DeleteTexture);
    SDL_GL_DeleteContext(context);
    SDL_DestroyWindow(window);
    SDL_Quit();
    return 0;
}
