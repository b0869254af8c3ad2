#include "notify/tokens.h"

#include "core/record.h"
#include "destinations/destination.h"
#include "prefs/prefs.h"

#include <QDir>
#include <QSysInfo>

#include <functional>
#include <optional>
#include <vector>

#include <pwd.h>
#include <unistd.h>

namespace pv {

namespace {

/// One token and the way to its value. A value is computed at most once and
/// only when the token occurs, so the password is decrypted and the links are
/// composed only on demand.
struct Rule {
    QString token;
    std::function<QString()> value;
    std::optional<QString> cached = {};
};

bool holds(const QString &text, const QString &token)
{
    return text.contains(token, Qt::CaseInsensitive);
}

/// Replaces every token of the rules in one pass over the template, so text
/// that a value brings in is copied as it is and never read as a token.
/// Tokens are "<...>" without inner angle brackets, so at most one of them can
/// start at any position and occurrences never overlap.
QString substitute(const QString &text, std::vector<Rule> &rules)
{
    QString out;
    out.reserve(text.size());
    qsizetype i = 0;
    while (i < text.size()) {
        const qsizetype open = text.indexOf(QLatin1Char('<'), i);
        if (open < 0) {
            out += QStringView(text).mid(i);
            break;
        }
        out += QStringView(text).mid(i, open - i);
        Rule *hit = nullptr;
        for (Rule &r : rules) {
            if (QStringView(text).mid(open, r.token.size()).compare(r.token, Qt::CaseInsensitive) ==
                0) {
                hit = &r;
                break;
            }
        }
        if (!hit) {
            out += QLatin1Char('<');
            i = open + 1;
            continue;
        }
        if (!hit->cached)
            hit->cached = hit->value();
        out += *hit->cached;
        i = open + hit->token.size();
    }
    return out;
}

QString hour12(const QDateTime &now, const QLocale &locale)
{
    const int h = now.time().hour();
    const int h12 = h % 12 == 0 ? 12 : h % 12;
    return QStringLiteral("%1:%2 %3")
        .arg(h12)
        .arg(locale.toString(now, QStringLiteral("mm:ss")),
             h < 12 ? locale.amText() : locale.pmText());
}

/// The date and name tokens both variants share, with their "both present"
/// rule: the long timestamp token wins and "<TIMESTAMP>" then stays as typed.
void addClockAndNames(const QString &text, const TokenEnvironment &env, std::vector<Rule> &rules)
{
    const QDateTime now = env.now;
    const QLocale locale = env.locale;
    const QString longStamp = QStringLiteral("<YYYY-MM-DD HH:MM:SS>");
    auto stamp = [now, locale] {
        return locale.toString(now, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    };
    rules.push_back({longStamp, stamp});
    if (!holds(text, longStamp))
        rules.push_back({QStringLiteral("<TIMESTAMP>"), stamp});
    rules.push_back({QStringLiteral("<MM>"),
                     [now, locale] { return locale.toString(now, QStringLiteral("M")); }});
    rules.push_back({QStringLiteral("<DD>"),
                     [now, locale] { return locale.toString(now, QStringLiteral("d")); }});
    rules.push_back({QStringLiteral("<YYYY>"),
                     [now, locale] { return locale.toString(now, QStringLiteral("yyyy")); }});
    rules.push_back({QStringLiteral("<TIME [24H]>"),
                     [now, locale] { return locale.toString(now, QStringLiteral("H:mm:ss")); }});
    rules.push_back(
        {QStringLiteral("<TIME [12H]>"), [now, locale] { return hour12(now, locale); }});
    const QString user = env.userFullName;
    const QString computer = env.computerName;
    rules.push_back({QStringLiteral("<USER NAME>"), [user] { return user; }});
    rules.push_back({QStringLiteral("<COMPUTER NAME>"), [computer] { return computer; }});
}

QString folderPathValue(const DeliveryContext &ctx)
{
    if (!ctx.ftpFlag)
        return ctx.finalLocalFolder;
    const QString path = recString(ctx.destination, dk::pathField);
    if (ctx.dateFolderPath.isEmpty())
        return path;
    if (path.isEmpty() || path.endsWith(QLatin1Char('/')))
        return path + ctx.dateFolderPath;
    return path + QLatin1Char('/') + ctx.dateFolderPath;
}

QString fullUserName()
{
    const struct passwd *pw = getpwuid(getuid());
    if (!pw)
        return QString::fromLocal8Bit(qgetenv("USER"));
    // The comment field starts with the full name, followed by office and
    // telephone entries after commas.
    const QString gecos = QString::fromLocal8Bit(pw->pw_gecos ? pw->pw_gecos : "");
    const QString full = gecos.section(QLatin1Char(','), 0, 0).trimmed();
    return full.isEmpty() ? QString::fromLocal8Bit(pw->pw_name) : full;
}

} // namespace

TokenEnvironment TokenEnvironment::current()
{
    return {QDateTime::currentDateTime(), fullUserName(), QSysInfo::machineHostName(), QLocale()};
}

QString processTokensFromString(const QString &text, const DeliveryContext &ctx,
                                const TokenEnvironment &env)
{
    if (text.isEmpty())
        return kEmptyTemplateText;
    const QVariantMap &dest = ctx.destination;
    auto field = [&dest](const QString &key) { return [v = recString(dest, key)] { return v; }; };
    auto password = [&dest] {
        return Prefs::decryptPassword(recString(dest, dk::sitePasswordField));
    };
    auto folderPath = [&ctx] { return folderPathValue(ctx); };
    auto link = [&ctx](QString (*compose)(const DeliveryContext &)) {
        return [&ctx, compose] { return ctx.attachOnly ? kAttachedInsteadOfLink : compose(ctx); };
    };
    const QString fileName = ctx.finalName;

    std::vector<Rule> rules;
    rules.push_back({QStringLiteral("<FILE NAME>"), [fileName] { return fileName; }});
    rules.push_back({QStringLiteral("<DESTINATION>"), field(dk::name)});
    rules.push_back({QStringLiteral("<HOST>"), field(dk::hostField)});
    rules.push_back({QStringLiteral("<FTP HOST>"), field(dk::hostField)});
    rules.push_back({QStringLiteral("<FOLDER PATH>"), folderPath});
    rules.push_back({QStringLiteral("<PATH>"), folderPath});
    rules.push_back({QStringLiteral("<USER>"), field(dk::userField)});
    rules.push_back({QStringLiteral("<FTP USER>"), field(dk::userField)});
    // With both password tokens only the first is filled; the alias stays.
    rules.push_back({QStringLiteral("<PASSWORD>"), password});
    if (!holds(text, QStringLiteral("<PASSWORD>")))
        rules.push_back({QStringLiteral("<FTP PASSWORD>"), password});
    rules.push_back({QStringLiteral("<ITEM DOWNLOAD LINK>"), link(&composeDownloadURL)});
    rules.push_back({QStringLiteral("<LINK TO ITEM'S ENCLOSING FOLDER>"), link(&composeFolderURL)});
    addClockAndNames(text, env, rules);
    return substitute(text, rules);
}

QString processTokensFromString(const QString &text, const DeliveryContext &ctx)
{
    return processTokensFromString(text, ctx, TokenEnvironment::current());
}

QString processTokensFromString(const QString &text, const PreviewContext &ctx,
                                const TokenEnvironment &env)
{
    if (text.isEmpty())
        return kEmptyTemplatePreviewText;
    const QVariantMap &dest = ctx.destination;
    auto field = [&dest](const QString &key) { return [v = recString(dest, key)] { return v; }; };
    const QString password = ctx.sitePasswordDecr;
    std::vector<Rule> rules;
    rules.push_back({QStringLiteral("<DESTINATION>"), field(dk::name)});
    rules.push_back({QStringLiteral("<FTP HOST>"), field(dk::hostField)});
    rules.push_back({QStringLiteral("<HOST>"), field(dk::hostField)});
    rules.push_back({QStringLiteral("<FOLDER PATH>"), field(dk::pathField)});
    rules.push_back({QStringLiteral("<PATH>"), field(dk::pathField)});
    rules.push_back({QStringLiteral("<FTP USER>"), field(dk::userField)});
    rules.push_back({QStringLiteral("<USER>"), field(dk::userField)});
    rules.push_back({QStringLiteral("<FTP PASSWORD>"), [password] { return password; }});
    rules.push_back({QStringLiteral("<PASSWORD>"), [password] { return password; }});
    addClockAndNames(text, env, rules);
    return substitute(text, rules);
}

QString processTokensFromString(const QString &text, const PreviewContext &ctx)
{
    return processTokensFromString(text, ctx, TokenEnvironment::current());
}

} // namespace pv
