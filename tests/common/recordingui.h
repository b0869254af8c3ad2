#pragma once

#include "app/userinterface.h"

#include <QList>
#include <QStringList>

#include <functional>

namespace pvtest {

/// A user-interface port that remembers what it was asked and answers alerts
/// with a scripted button.
class RecordingUserInterface : public pv::UserInterface {
public:
    QList<pv::Alert> alerts;
    QList<Window> raised;
    QStringList selected;
    QStringList sounds;
    int beeps = 0;
    int answer = -1; // -1: the alert's default button
    QString sendTitle;
    bool sendEnabled = false;
    QString status;       // the latest status line
    QStringList finished; // the summaries of recorded entries
    /// Called with each status line, on the main thread.
    std::function<void(const QString &)> onStatus;

    int alert(const pv::Alert &a) override
    {
        alerts.append(a);
        return answer >= 0 ? answer : a.defaultButton;
    }
    void beep() override { ++beeps; }
    void bringToFront(Window w) override { raised.append(w); }
    void selectDestination(const QString &name) override { selected.append(name); }
    std::function<void()> onSound;
    void playSound(const QString &name) override
    {
        sounds.append(name);
        if (onSound)
            onSound();
    }
    void setStatus(const QString &text) override
    {
        status = text;
        if (onStatus)
            onStatus(text);
    }
    void entryFinished(const QString &summary) override { finished.append(summary); }
    void setStatus2(const QString &) override {}
    void setProgress(double) override {}
    void setProgressIndeterminate(bool) override {}
    void setWindowTitle(const QString &) override {}
    void setSendButton(const QString &title, bool enabled) override
    {
        sendTitle = title;
        sendEnabled = enabled;
    }
};

} // namespace pvtest
