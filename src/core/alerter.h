#pragma once

#include <QString>
#include <QStringList>

namespace pv {

/// A modal question or notice for the user.
struct Alert {
    enum class Style { Informational, Warning, Critical };
    QString title;
    QString text;
    QStringList buttons{QStringLiteral("OK")};
    Style style = Style::Warning;
    /// Index of the button taken when nobody can answer (headless mode).
    int defaultButton = 0;
};

/// The part of the user-interface port that the stores below the application
/// layer need: alerts and the beep. The windows implement it with message
/// boxes; headless mode logs the alert and takes its default button.
class Alerter {
public:
    virtual ~Alerter() = default;
    /// Shows the alert and returns the index of the chosen button.
    virtual int alert(const Alert &alert) = 0;
    virtual void beep() = 0;
};

/// Alerter for headless runs: one log line per alert, default button taken.
class LoggingAlerter : public Alerter {
public:
    int alert(const Alert &alert) override;
    void beep() override {}
};

} // namespace pv
