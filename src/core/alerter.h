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

/// Alerter that keeps each alert as one text (title, separator, text; the
/// title alone when there is no text) and takes the default button: for
/// commands that print what a window would have shown.
class CollectingAlerter final : public Alerter {
public:
    explicit CollectingAlerter(QString separator = QStringLiteral("\n"))
        : m_separator(std::move(separator))
    {}
    int alert(const Alert &a) override
    {
        texts.append(a.text.isEmpty() ? a.title : a.title + m_separator + a.text);
        return a.defaultButton;
    }
    void beep() override {}
    QStringList texts;

private:
    QString m_separator;
};

} // namespace pv
