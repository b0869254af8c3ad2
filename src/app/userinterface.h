#pragma once

#include "core/alerter.h"

#include <QString>
#include <QVariantMap>

namespace pv {

/// Everything the pipeline shows a person goes through this port. The
/// windows implement it; headless mode logs; tests record. Texts arrive
/// exactly as they are to be shown. Main thread only.
class UserInterface : public Alerter {
public:
    enum class Window { Processing, Destinations, Errors, History };

    virtual void bringToFront(Window window) = 0;
    /// Selects and scrolls to a destination in the destinations window.
    virtual void selectDestination(const QString &name) = 0;
    /// Plays a named sound; unknown names and machines without a player are
    /// silently skipped.
    virtual void playSound(const QString &name) = 0;

    // The processing display.
    virtual void setStatus(const QString &text) = 0;
    virtual void setStatus2(const QString &text) = 0;
    virtual void setProgress(double value) = 0;
    virtual void setProgressIndeterminate(bool indeterminate) = 0;
    virtual void setWindowTitle(const QString &title) = 0;
    virtual void setSendButton(const QString &title, bool enabled) = 0;
    /// The source and destination fields of the processing window.
    virtual void setSourceField(const QString &) {}
    virtual void setDestinationField(const QString &) {}
    /// The mail mark: shown while the entry's notification is being sent.
    virtual void setMailIcon(bool shown) { (void)shown; }
    /// A queue entry has been recorded; summary is its one-line account
    /// (deliverySummary), passwords masked. The windows show the records.
    virtual void entryFinished(const QString &summary) { (void)summary; }
};

/// The port for runs without windows: alerts become one log line and take
/// their default button; the display is logged only where it says something.
class HeadlessUserInterface : public UserInterface {
public:
    int alert(const Alert &alert) override { return m_logger.alert(alert); }
    void beep() override {}
    void bringToFront(Window) override {}
    void selectDestination(const QString &name) override;
    void playSound(const QString &name) override;
    void setStatus(const QString &) override {}
    void setStatus2(const QString &) override {}
    void setProgress(double) override {}
    void setProgressIndeterminate(bool) override {}
    void setWindowTitle(const QString &) override {}
    void setSendButton(const QString &, bool) override {}
    /// Without windows the log is the only place a failure is seen.
    void entryFinished(const QString &summary) override;

private:
    LoggingAlerter m_logger;
};

/// One line on a completed delivery record: outcome, source, destination
/// and, when there is one, the error text, with URL passwords and password
/// masked.
[[nodiscard]] QString deliverySummary(const QVariantMap &record, const QString &password);

/// Sound names offered to the user: file names without extension from the
/// freedesktop stereo theme, then the user's own sounds not already listed.
[[nodiscard]] QStringList soundNames();
/// Plays a sound by name in the background with the first player found.
void playSoundNamed(const QString &name);

} // namespace pv
