#pragma once

#include "transfer/filetransfercontroller.h"

#include <QStringList>

#include <functional>

// Records the controller's messages in order: "start", "progress", "success",
// "fail"; keeps the errors and lets a test answer the should-abort question.
class RecordingDelegate : public pv::FileTransferControllerDelegate {
    using C = pv::FileTransferController;

public:
    void fileTransferControllerDidStart(C *) override { events << "start"; }
    void fileTransferControllerDidUpdateProgress(C *c) override
    {
        // Progress messages are collapsed into one entry per run of them.
        if (events.isEmpty() || events.last() != QLatin1String("progress"))
            events << QStringLiteral("progress");
        ++progressCount;
        lastProgress = c->transferProgress();
    }
    void fileTransferControllerDidSucceed(C *c) override { events << "success", onSuccess(c); }
    void fileTransferControllerDidFail(C *, const pv::TransferError &error) override
    {
        events << QStringLiteral("fail");
        errors << error;
    }
    bool fileTransferControllerShouldAbort(C *c) override { return abortWhen && abortWhen(c); }

    void clear()
    {
        events.clear();
        errors.clear();
        progressCount = 0;
    }
    QString lastErrorText() const { return errors.value(errors.size() - 1).description; }

    QStringList events;
    QList<pv::TransferError> errors;
    int progressCount = 0;
    float lastProgress = 0;
    std::function<bool(C *)> abortWhen;
    std::function<void(C *)> onSuccess = [](C *) {};
};
