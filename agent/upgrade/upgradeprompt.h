#pragma once

// When a check has found a new version: show the upgrade dialog now, wait until the user can
// see the browser shell, or leave things as they are. A pure rule, so it can be read (and
// tested) apart from the windows it drives.
namespace KELUpgradePrompt {

struct Situation {
    bool force = false;          // the server demands the upgrade
    bool manual = false;         // the user asked for this check
    bool firstCheck = false;     // the check started with the agent
    bool remind = false;         // the user has not postponed this version today
    bool dialogOpen = false;
    bool browserVisible = false; // the shell's window is shown and not minimised
    bool pending = false;        // a dialog waits for the shell's window
    bool pendingForce = false;
};

struct Decision {
    enum class Action { None, Show, Wait } action = Action::None;
    bool force = false; // of the dialog shown, or of the one that waits
};

inline bool wantsDialog(const Situation& s)
{
    return s.force || s.manual || s.firstCheck || s.remind;
}

// Whether the decision depends on the shell's window (so it is worth asking the shell).
inline bool needsBrowserVisibility(const Situation& s)
{
    return !s.dialogOpen && !s.manual && (wantsDialog(s) || s.pending);
}

inline Decision decide(const Situation& s)
{
    using Action = Decision::Action;
    if (wantsDialog(s) && !s.dialogOpen) {
        if (s.manual || s.browserVisible)
            return {Action::Show, s.force};
        return {Action::Wait, s.force};
    }
    if (s.pending && !s.dialogOpen && s.browserVisible)
        return {Action::Show, s.pendingForce};
    return {};
}

} // namespace KELUpgradePrompt
