#pragma once

#include "core/alerter.h"
#include "remote/listingoperation.h"

#include <QObject>
#include <QVariantMap>

#include <functional>
#include <memory>

namespace pv {

/// What a listing of a destination's folder needs: its parameters ("url" with
/// the login, "dest", "localPath"), or the alert that refuses the destination
/// before any connection (refusal.title not empty).
struct ListingTarget {
    QVariantMap parameters;
    Alert refusal;
};

/// The listing target of dest's folder, or of subPath below it, composed as a
/// delivery composes its URL (same scheme, port, escaping and bucket rules).
[[nodiscard]] ListingTarget listingTargetFor(const QVariantMap &dest, const QString &subPath = {});

/// The contents button of the destinations window ("Show Contents", "Open
/// Folder", "Cancel"): opens a local destination's folder, or lists a server
/// destination's folder in the background and hands the result to the
/// browser window. One listing at a time. Main thread only.
class DestinationContents final : public QObject {
public:
    /// What the destinations window and the browser window do for it.
    struct Display {
        std::function<void(const QString &title)> setButtonTitle;
        /// Spinner on or off, and the status text beside it.
        std::function<void(bool spinning, const QString &status)> setProgress;
        /// Clears and hides the browser window before a new listing.
        std::function<void()> clearBrowser;
        /// A listing arrived: fill the browser with it and bring it to the front.
        std::function<void(const QVariantMap &dest, const RemoteListing &listing,
                           const QString &url)>
            showListing;
        /// Opens a local folder in the file browser; false when that failed.
        std::function<bool(const QString &path)> openFolder;
        /// After the alert of an unexpected failure: the application ends.
        std::function<void()> quit;
    };

    DestinationContents(Alerter *alerter, Display display, QObject *parent = nullptr);
    ~DestinationContents() override;
    Q_DISABLE_COPY_MOVE(DestinationContents)

    /// The contents button was pressed with buttonTitle on it, dest selected.
    void list(const QVariantMap &dest, const QString &buttonTitle);
    /// Handles one report of the running listing.
    void readDirListingProgress(const RemoteStatus &status);
    [[nodiscard]] bool isListing() const { return m_operation != nullptr; }

private:
    void stopProgress();

    Alerter *m_ui;
    Display m_display;
    QVariantMap m_dest;
    std::shared_ptr<ListingOperation> m_operation;
};

} // namespace pv
