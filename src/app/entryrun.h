#pragma once

#include "transfer/deliverytransfer.h"

#include <QMutex>
#include <QObject>
#include <QVariantMap>

#include <memory>
#include <optional>

class QProcess;

namespace pv {

class AppController;
class TransferRun;
class SMTPEmail;
struct SMTPOutcome;
struct ComposeInput;
class LoresPDFMaker;
struct DeliveryContext;
class UserInterface;

/// How an entry ended, worst last: the record's "success" is "ok",
/// "modified" (delivered with errors) or "missing" (not delivered).
enum class Outcome { Ok, Modified, Missing };
[[nodiscard]] QString outcomeText(Outcome outcome);

/// What a logged error means for its entry, and how the errors panel shows it.
enum class Effect {
    /// Delivered with errors: "Error: <text>", outcome at least "modified".
    Note,
    /// Not delivered, the text says why: "Error: <text>", outcome "missing".
    Failure,
    /// Not delivered, the text is the reason itself (Stop, an unknown
    /// destination): "FILE NOT DELIVERED!\n<text>", outcome "missing".
    NotDelivered,
    /// The notification did not go out. For an entry that was only to be
    /// e-mailed that is its delivery: "FILE NOT DELIVERED!\nError: <text>",
    /// outcome "missing"; otherwise as Note.
    MailNotSent,
};

/// The errors panel's text of an error of file at stamp (MailNotSent as for
/// an entry that was only to be e-mailed).
[[nodiscard]] QString errorPanelText(const QString &stamp, const QString &file,
                                     const QString &message, Effect effect);

/// The entry in processing: its record, its destination, what it is
/// delivered as, and the stage it is in. It runs its stages one after the
/// other from the callbacks of the packer, the transfer and the sender, and
/// tells its controller when it has ended. Main thread only.
class EntryRun final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(EntryRun)

public:
    enum class Stage {
        Starting,   ///< checks of the source and the destination
        Packaging,  ///< the packer makes the zip archive or disk image
        Delivering, ///< local copy or transfer
        Notifying,  ///< the e-mail, with its reduced PDF copy
        Completing, ///< record written, source moved
        Finished,   ///< recorded; nothing more happens
        SetAside,   ///< ended without a record; the source stays where it is
    };
    [[nodiscard]] static QString stageName(Stage stage);

    /// item is the queue head; app must outlive the run.
    EntryRun(AppController &app, const QVariantMap &item);
    ~EntryRun() override;

    /// Runs the first stages (processFile).
    void start();
    /// Completes an entry whose delivery had completed when the last run
    /// stopped, from its journaled record (the line note, if any): writes the record
    /// unless recorded is set, moves the source as a completed entry does and
    /// retires the line. The entry ends without starting the next one.
    void completeAfterRestart(const QString &note, bool recorded);
    /// The user's Stop: cancels the running stage and ends the entry as
    /// "DELIVERY CANCELED".
    void cancel();

    [[nodiscard]] Stage stage() const { return m_stage; }
    [[nodiscard]] bool hasEnded() const
    {
        return m_stage == Stage::Finished || m_stage == Stage::SetAside;
    }
    /// The record the entry grows into.
    [[nodiscard]] const QVariantMap &record() const { return m_itemDict; }
    [[nodiscard]] Outcome outcome() const { return m_outcome; }

    /// Appends an error text to the errors panel and the entry's record.
    void logError(const QString &message, Effect effect = Effect::Note);
    /// A report of the running transfer.
    void transferReport(const TransferReport &report);
    [[nodiscard]] UserInterface &ui();

private:
    /// The one place the stage changes.
    void setStage(Stage next);
    /// Ends the entry as not delivered with message.
    void failEntry(const QString &message, Effect effect = Effect::Failure);
    /// Ends the entry without a record; cont starts the next one.
    void setAside(bool cont);
    void worsen(Outcome outcome);

    // Packaging.
    void zip();
    void createEncryptedDmg();
    [[nodiscard]] QString dmgPasswordDecr() const;
    void preparePackageTarget();
    void runPacker(const QStringList &arguments, const QString &password);
    void packerFinished(int exitCode, bool crashed);
    void packerOutput(const QString &text);
    void readDmgProgress(const QString &chunk);

    // Delivery.
    void newStage();
    [[nodiscard]] bool getSizeAndCheckFreeSpace();
    void computeFinalLocalFolder();
    [[nodiscard]] bool backupToLocalAsIs();
    void uploadToFTP();
    void createTransferOperationWithParameters(const QVariantMap &parameters);
    void dropTransfer();
    [[nodiscard]] QString verb() const;
    void transferDidStart();
    void transferFailed(const QString &error, const QString &info, const TransferError &cause);
    void setDownloadURLInItemDict();

    // Notification.
    [[nodiscard]] DeliveryContext deliveryContext() const;
    void sendEmail();
    void composeAndSend(const ComposeInput &in);
    void emailFinished(const SMTPOutcome &outcome);

    // Completion.
    /// Notes in the journal that the delivery has completed, so that a crash
    /// before the record and the source's move does not deliver it again.
    void noteDelivered();
    /// What noteDelivered stores: the record as it stands, with the final
    /// name, the location and the end.
    [[nodiscard]] QVariantMap deliveredRecord() const;
    /// The line the delivery's thread noted, if any; nothing is noted after.
    [[nodiscard]] QString takePlacedNote();
    void deleteDmgFile();

    AppController &m_app;
    Stage m_stage = Stage::Starting;
    Outcome m_outcome = Outcome::Ok;

    QVariantMap m_itemDict;
    QVariantMap m_defaultBackup;
    QString m_filesToBackup;
    QString m_finalName;
    QString m_dmgFile;
    QString m_theFtpURL;
    QString m_ftpURLEsc;
    QString m_finalLocalFolder;
    QString m_dateFolderPath;
    quint64 m_theSize = 0;
    bool m_createDmg = false;
    bool m_zip = false;
    bool m_ftpFlag = false;
    bool m_attachOnly = false;
    bool m_isLocal = false;
    /// The source as it was when processing began; compared once it has
    /// been sent, to catch a writer still at work.
    std::optional<QVariantList> m_sourceState;

    QString m_packerTail;
    std::unique_ptr<QProcess> m_packer;
    std::unique_ptr<TransferRun> m_transfer;
    std::unique_ptr<LoresPDFMaker> m_lores;
    std::unique_ptr<SMTPEmail> m_smtp;

    /// The journal line of the completed delivery, retired once recorded.
    QString m_deliveredNote;
    /// The record a delivery notes as completed from its own thread once
    /// its item is in place (kept up to date by its reports), and that
    /// note's line; an emptied record notes nothing.
    struct PlacedNote {
        QMutex mutex;
        QVariantMap record;
        QString id;
    };
    std::shared_ptr<PlacedNote> m_placed;
    bool m_afterRestart = false;
    bool m_alreadyRecorded = false;
};

} // namespace pv
