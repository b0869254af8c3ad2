#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <functional>

namespace pvtest {

/// Answers the message boxes the windows open modally: each one is shown to
/// the next answer (the title of the button to click) in turn; their texts
/// are kept, in order.
struct AlertAnswers {
    QStringList answers;
    QStringList texts; // title, then "\n" and the detail

    AlertAnswers()
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            texts.append(box->text() + QLatin1Char('\n') + box->informativeText());
            const QString want = answers.isEmpty() ? QString() : answers.takeFirst();
            for (QAbstractButton *b : box->buttons()) {
                if (want.isEmpty() || b->text() == want) {
                    b->click();
                    return;
                }
            }
            box->reject();
        });
        m_timer.start(5);
    }

private:
    QTimer m_timer;
};

} // namespace pvtest
