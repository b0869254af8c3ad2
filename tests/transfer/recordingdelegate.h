#pragma once

#include "transfer/filetransfercontroller.h"

#include <QStringList>

#include <functional>

// Records the controller's messages in order: "start", "progress", "success",
// "fail"; keeps the errors and lets a test answer the should-abort question.
class RecordingDelegate : public pv::FileTransferControllerDelegate {
public:
    void fileTransferControllerDidStart(pv::FileTransferController *) override
    {
        events << QStringLiteral("start");
    }
    void fileTransferControllerDidUpdateProgress(pv::FileTransferController *c) override
    {
        // Progress messages are collapsed into one entry per run of them.
        if (events.isEmpty() || events.last() != QLatin1String("progress"))
            events << QStringLiteral("progress");
        ++progressCount;
        lastProgress = c->transferProgress();
    }
    void fileTransferControllerDidSucceed(pv::FileTransferController *) override
    {
        events << QStringLiteral("success");
    }
    void fileTransferControllerDidFail(pv::FileTransferController *,
                                       const pv::TransferError &error) override
    {
        events << QStringLiteral("fail");
        errors << error;
    }
    bool fileTransferControllerShouldAbort(pv::FileTransferController *c) override
    {
        return abortWhen && abortWhen(c);
    }

    void clear()
    {
        events.clear();
        errors.clear();
        progressCount = 0;
    }
    QString lastErrorText() const
    {
        return errors.isEmpty() ? QString() : errors.last().description;
    }

    QStringList events;
    QList<pv::TransferError> errors;
    int progressCount = 0;
    float lastProgress = 0;
    std::function<bool(pv::FileTransferController *)> abortWhen;
};
