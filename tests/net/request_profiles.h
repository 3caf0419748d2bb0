#pragma once
// The request layer's two strict profiles: the update run's and the launcher self-update's.

enum class Profile { Update, Launcher };

inline const char* Name(Profile profile) {
    return profile == Profile::Update ? "update" : "launcher";
}

// What each profile says of an address it does not trust.
inline const char* Untrusted(Profile profile) {
    return profile == Profile::Update ? "Untrusted update URL configuration"
                                      : "Untrusted launcher update URL";
}
