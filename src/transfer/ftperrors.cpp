#include "transfer/ftperrors.h"

namespace pv {

QString ftpErrorExplanation(qint64 code)
{
    switch (code) {
    case 421:
        return QStringLiteral("Service not available: the server is closing the connection "
                              "(too many connections, or it is shutting down).");
    case 425:
        return QStringLiteral("Can't open data connection: a firewall or router may block "
                              "passive-mode connections to the server.");
    case 426:
        return QStringLiteral("Connection closed; transfer aborted.");
    case 430:
        return QStringLiteral("Invalid user name or password.");
    case 450:
        return QStringLiteral("Requested file action not taken: the file is unavailable (it may "
                              "be busy).");
    case 451:
        return QStringLiteral("Requested action aborted: local error in processing on the "
                              "server.");
    case 452:
        return QStringLiteral("Requested action not taken: insufficient storage space on the "
                              "server.");
    case 500:
        return QStringLiteral("Syntax error, command unrecognized by the server.");
    case 501:
        return QStringLiteral("Syntax error in parameters or arguments.");
    case 502:
        return QStringLiteral("Command not implemented by the server.");
    case 503:
        return QStringLiteral("Bad sequence of commands.");
    case 504:
        return QStringLiteral("Command not implemented for that parameter.");
    case 530:
        return QStringLiteral("Not logged in: the user name or password is wrong, or this user "
                              "may not log in.");
    case 532:
        return QStringLiteral("An account is needed for storing files on this server.");
    case 550:
        return QStringLiteral("Requested action not taken: the file or folder is unavailable "
                              "(not found, or no access).");
    case 551:
        return QStringLiteral("Requested action aborted: page type unknown.");
    case 552:
        return QStringLiteral("Requested file action aborted: exceeded storage allocation.");
    case 553:
        return QStringLiteral("Requested action not taken: file name not allowed.");
    default:
        return QString();
    }
}

} // namespace pv
