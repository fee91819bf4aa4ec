#pragma once
#include "actions/DialUp.h"
#include "check/MailWorker.h"
#include "check/PushWatcher.h"
#include "notify/DesktopNotifier.h"
#include "notify/MsgForm.h"
#include "notify/SoundInterface.h"
#include "platform/FormInstance.h"
#include "settings/IdPassForm.h"
#include "settings/OptionForm.h"
#include "settings/ProcessSettings.h"
#include "settings/SetForm.h"
#include "watchlist/GekitaiForm.h"

#include <QDBusConnection>

#include <functional>
#include <memory>
#include <optional>

namespace qp {

// The windows of the program besides the main window: each a single
// instance, created hidden on first touch and destroyed when unloaded. The
// main window installs the factories, since some windows report to it.
struct Forms {
    FormInstance<SetForm> setForm;
    FormInstance<IdPassForm> idPassForm;
    FormInstance<OptionForm> optionForm;
    FormInstance<GekitaiForm> gekitaiForm;
    FormInstance<MsgForm> msgForm;

    // Unloads every window without its own unload work.
    void unloadAll()
    {
        setForm.unload();
        idPassForm.unload();
        optionForm.unload();
        gekitaiForm.unload();
        msgForm.unload();
    }
};

// What lives for the whole run and is shared by the windows: the six
// process-wide settings, the mail library, the sound interface and the forms.
struct AppServices {
    ProcessSettings settings;
    // The mail library, behind the worker that makes its calls.
    std::unique_ptr<MailWorker> mail;
    std::unique_ptr<SoundInterface> sound;
    // Hangs up every dial-up connection (NetworkManager on the system bus).
    std::function<void()> hangUpDialUp = [] { hangUpDialUpConnections(); };
    // The desktop's notifications of watched senders' mail; none in tests
    // that do not ask for it.
    std::unique_ptr<DesktopNotifier> notifier;
    // New mail pushed by an IMAP server; none in tests that do not ask for it.
    std::unique_ptr<PushWatcher> push;
    // The bus of the desktop's tray host; none: the session bus.
    std::optional<QDBusConnection> desktopBus;
    Forms forms;
};

} // namespace qp
