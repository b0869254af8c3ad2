#include "app/remotelisting.h"

#include "app/transferrun.h"
#include "core/record.h"
#include "core/urlescape.h"
#include "destinations/destination.h"
#include "prefs/prefs.h"

#include <QFileInfo>

namespace pv {

namespace {

const QString kShowContents = QStringLiteral("Show Contents");
const QString kOpenFolder = QStringLiteral("Open Folder");
const QString kCancel = QStringLiteral("Cancel");

} // namespace

ListingTarget listingTargetFor(const QVariantMap &dest, const QString &subPath)
{
    ListingTarget t;
    const QString destType = destTypeOf(dest);
    const QString path = recString(dest, dk::pathField);
    t.refusal = bucketRefusal(destType, path);
    if (!t.refusal.title.isEmpty())
        return t;
    QString sub = subPath;
    while (sub.startsWith(QLatin1Char('/')))
        sub.remove(0, 1);
    const bool bucket =
        destType == QLatin1String("Amazon S3") || destType == QLatin1String("Google Storage");
    QString folder = path;
    if (!sub.isEmpty() && !bucket)
        folder = (path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/')) + sub;
    const TargetURL target = composeTargetURL(
        dest, Prefs::decryptPassword(recString(dest, dk::sitePasswordField)), folder);
    if (!target.refusal.isEmpty()) {
        t.refusal = {QStringLiteral("Unable to list directory"), target.refusal};
        return t;
    }
    QString url = target.url;
    // A bucket has no folders: what lies below it is a key prefix.
    if (!sub.isEmpty() && bucket)
        url += QLatin1Char('/') + addMissingPercentEscapes(sub);
    t.parameters = {{QStringLiteral("localPath"), QString()},
                    {QStringLiteral("url"), url},
                    {QStringLiteral("dest"), dest}};
    return t;
}

DestinationContents::DestinationContents(Alerter *ui, Display display, QObject *parent)
    : QObject(parent), m_ui(ui), m_display(std::move(display))
{}

DestinationContents::~DestinationContents()
{
    if (m_operation)
        m_operation->cancel();
}

void DestinationContents::list(const QVariantMap &dest, const QString &buttonTitle)
{
    const QString destType = destTypeOf(dest);
    if (buttonTitle == kCancel) {
        // An SFTP connection cannot be interrupted while it logs on.
        if (destType == QLatin1String("SFTP Server") || !m_operation)
            return;
        m_operation->cancel();
        m_operation.reset();
        stopProgress();
        return;
    }
    if (buttonTitle == kOpenFolder && destType == kLocalDisk) {
        const QString path = recString(dest, dk::pathField);
        if (!QFileInfo(path).isDir())
            m_ui->alert({QStringLiteral("Folder could not be found"), QString()});
        else if (!m_display.openFolder(path))
            m_ui->alert({QStringLiteral("Folder could not be opened"), QString()});
        return;
    }
    if (m_operation)
        m_operation->cancel();
    m_display.setButtonTitle(kCancel);
    m_display.clearBrowser();
    m_display.setProgress(true, QStringLiteral("Connecting..."));
    const ListingTarget target = listingTargetFor(dest);
    if (!target.refusal.title.isEmpty()) {
        stopProgress();
        m_ui->alert(target.refusal);
        return;
    }
    m_dest = dest;
    m_operation = std::make_shared<ListingOperation>(
        this, target.parameters, [this](const RemoteStatus &s) { readDirListingProgress(s); });
    ListingOperation::start(m_operation);
}

void DestinationContents::stopProgress()
{
    m_display.setProgress(false, QString());
    m_display.setButtonTitle(kShowContents);
}

void DestinationContents::readDirListingProgress(const RemoteStatus &status)
{
    switch (status.type) {
    case RemoteStatus::Type::List:
        m_display.setProgress(true, QStringLiteral("Listing..."));
        break;
    case RemoteStatus::Type::Error: {
        m_operation.reset();
        stopProgress();
        if (status.unexpected) {
            m_ui->alert(
                {status.error, status.errorInfo, {QStringLiteral("Quit")}, Alert::Style::Critical});
            if (m_display.quit)
                m_display.quit();
            break;
        }
        m_ui->alert({QStringLiteral("Unable to list directory"),
                     QStringLiteral("%1\n\n%2").arg(status.error, status.errorInfo),
                     {QStringLiteral("OK")},
                     Alert::Style::Critical});
        break;
    }
    case RemoteStatus::Type::Done:
        m_operation.reset();
        stopProgress();
        m_display.showListing(m_dest, status.list, status.url);
        break;
    default:
        break;
    }
}

} // namespace pv
