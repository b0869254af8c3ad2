// pv-packer: builds the delivery packages (zip archives and disk images) on
// libarchive. The pipeline runs it as a child process with the argument lists
// of the archive and disk-image tools it stands in for:
//
//   pv-packer -c -k [-V] [-v] [--keepParent] SOURCE ARCHIVE
//   pv-packer create [-encryption [AES-128|AES-256]] [-stdinpass] [-srcfolder [SOURCE]]
//                    [-puppetstrings] [-volname NAME] [-ov] [SOURCE] IMAGE
//
// A disk image is an ISO 9660 image with Rock Ridge and Joliet. An encrypted
// image is that ISO image inside an AES-256 zip container; the password comes
// from standard input, up to the first NUL or newline.
//
// The package is built in a temporary file beside its final path and renamed
// into place only when complete, so nothing half-written ever carries the
// final name; the temporary file is removed on failure and on SIGTERM/SIGINT/
// SIGHUP/SIGPIPE (the pipeline cancels by terminating the child).
//
// Exit status: 0 success, 1 failure, 2 bad arguments; the reason is on stderr.

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char *kProgram = "pv-packer";
constexpr size_t kChunk = 1 << 20;
constexpr size_t kMaxPassword = 1024;

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string errnoText(const std::string &what, int err)
{
    return what + ": " + std::strerror(err);
}

std::string archiveText(const std::string &what, archive *a)
{
    const char *msg = a ? archive_error_string(a) : nullptr;
    return what + ": " + (msg ? msg : "unknown archive error");
}

std::string baseName(const std::string &path)
{
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string dirName(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string stripExtension(const std::string &name)
{
    const size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

void writeLine(const std::string &line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// ---------------------------------------------------------------------------
// Temporary output file, renamed into place on success.

// The signal handler may only use what is async-signal-safe, so the path of
// the temporary file lives in a fixed buffer.
char g_tempPath[PATH_MAX + 32];
volatile sig_atomic_t g_tempActive = 0;

extern "C" void onTerminate(int sig)
{
    if (g_tempActive)
        ::unlink(g_tempPath);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

const int kCleanupSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGPIPE};

void installSignalHandlers()
{
    for (int sig : kCleanupSignals) {
        struct sigaction sa = {};
        sa.sa_handler = onTerminate;
        sigemptyset(&sa.sa_mask);
        ::sigaction(sig, &sa, nullptr);
    }
}

// Holds the cleanup signals off while the temporary file changes state, so a
// signal never sees a file that exists but is not yet (or no longer) tracked.
class SignalBlock {
public:
    SignalBlock()
    {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : kCleanupSignals)
            sigaddset(&set, sig);
        ::sigprocmask(SIG_BLOCK, &set, &m_old);
    }
    ~SignalBlock() { ::sigprocmask(SIG_SETMASK, &m_old, nullptr); }
    SignalBlock(const SignalBlock &) = delete;
    SignalBlock &operator=(const SignalBlock &) = delete;

private:
    sigset_t m_old;
};

class TempOutput {
public:
    explicit TempOutput(const std::string &finalPath) : m_finalPath(finalPath)
    {
        const std::string dir = dirName(finalPath);
        const std::string pattern = dir + "/." + baseName(finalPath) + ".part-XXXXXX";
        if (pattern.size() >= sizeof g_tempPath)
            throw Failure("target path too long: " + finalPath);
        SignalBlock block;
        std::memcpy(g_tempPath, pattern.c_str(), pattern.size() + 1);
        m_fd = ::mkstemp(g_tempPath);
        if (m_fd < 0)
            throw Failure(errnoText("cannot create a file in " + dir, errno));
        g_tempActive = 1;
        m_tempPath = g_tempPath;
    }

    ~TempOutput()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        if (!m_committed) {
            SignalBlock block;
            ::unlink(m_tempPath.c_str());
            g_tempActive = 0;
        }
    }
    TempOutput(const TempOutput &) = delete;
    TempOutput &operator=(const TempOutput &) = delete;

    int fd() const { return m_fd; }

    /// Flushes the file to disk and gives it its final name. Without
    /// overwrite an existing file of that name is an error.
    void commit(bool overwrite)
    {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        if (::fchmod(m_fd, 0666 & ~mask) != 0)
            throw Failure(errnoText("cannot set the mode of " + m_tempPath, errno));
        if (::fsync(m_fd) != 0)
            throw Failure(errnoText("cannot write " + m_tempPath, errno));
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0)
            throw Failure(errnoText("cannot write " + m_tempPath, errno));

        SignalBlock block;
        int rc;
        if (overwrite) {
            rc = ::rename(m_tempPath.c_str(), m_finalPath.c_str());
        } else {
            rc = ::renameat2(AT_FDCWD, m_tempPath.c_str(), AT_FDCWD, m_finalPath.c_str(),
                             RENAME_NOREPLACE);
            if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
                // File systems without the no-replace rename: a hard link
                // refuses an existing name just the same.
                rc = ::link(m_tempPath.c_str(), m_finalPath.c_str());
                if (rc == 0)
                    ::unlink(m_tempPath.c_str());
            }
        }
        if (rc != 0) {
            if (errno == EEXIST)
                throw Failure("file exists: " + m_finalPath);
            throw Failure(errnoText("cannot rename into " + m_finalPath, errno));
        }
        m_committed = true;
        g_tempActive = 0;
        const std::string dir = dirName(m_finalPath);
        const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
            ::fsync(dfd);
            ::close(dfd);
        }
    }

private:
    std::string m_finalPath;
    std::string m_tempPath;
    int m_fd = -1;
    bool m_committed = false;
};

// ---------------------------------------------------------------------------
// Source tree.

struct SourceItem {
    std::string path;    // on disk
    std::string relPath; // inside the package
    struct stat st;
};

// Set by --skipLinks: links below the source are left out (and named) rather
// than stored, so a package holds nothing that points outside what was dropped.
bool g_skipLinks = false;

void collectDir(const std::string &dir, const std::string &rel, std::vector<SourceItem> &out)
{
    DIR *d = ::opendir(dir.c_str());
    if (!d)
        throw Failure(errnoText("cannot read folder " + dir, errno));
    std::vector<std::string> names;
    errno = 0;
    while (dirent *e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
        errno = 0;
    }
    const int err = errno;
    ::closedir(d);
    if (err != 0)
        throw Failure(errnoText("cannot read folder " + dir, err));
    std::sort(names.begin(), names.end());

    for (const std::string &name : names) {
        SourceItem item;
        item.path = dir + "/" + name;
        item.relPath = rel.empty() ? name : rel + "/" + name;
        if (::lstat(item.path.c_str(), &item.st) != 0)
            throw Failure(errnoText("cannot read " + item.path, errno));
        const mode_t type = item.st.st_mode & S_IFMT;
        if (type != S_IFREG && type != S_IFDIR && type != S_IFLNK) {
            // Devices, sockets and pipes have no content to deliver, and
            // reading a pipe would block forever.
            std::fprintf(stderr, "%s: skipping special file %s\n", kProgram, item.path.c_str());
            continue;
        }
        if (type == S_IFLNK && g_skipLinks) {
            std::fprintf(stderr, "%s: left out symbolic link: %s\n", kProgram,
                         item.relPath.c_str());
            continue;
        }
        out.push_back(item);
        if (type == S_IFDIR)
            collectDir(item.path, item.relPath, out);
    }
}

/// Everything to pack, parents before children. The source itself is
/// followed when it is a symbolic link; links below it are kept as links.
/// With keepParent a folder appears under its own name, otherwise its
/// contents sit at the top of the package. A single file always keeps its name.
std::vector<SourceItem> collectSource(const std::string &source, bool keepParent)
{
    struct stat st;
    if (::stat(source.c_str(), &st) != 0)
        throw Failure(errnoText("cannot read source " + source, errno));
    std::vector<SourceItem> out;
    const std::string name = baseName(source);
    if (S_ISREG(st.st_mode)) {
        out.push_back({source, name, st});
    } else if (S_ISDIR(st.st_mode)) {
        if (keepParent)
            out.push_back({source, name, st});
        collectDir(source, keepParent ? name : std::string(), out);
    } else {
        throw Failure("source is neither a file nor a folder: " + source);
    }
    return out;
}

uint64_t contentBytes(const std::vector<SourceItem> &items)
{
    uint64_t total = 0;
    for (const SourceItem &item : items)
        if (S_ISREG(item.st.st_mode))
            total += static_cast<uint64_t>(item.st.st_size);
    return total;
}

// ---------------------------------------------------------------------------
// Progress in the "PERCENT:<n>" form, one line per whole percent.

class Progress {
public:
    explicit Progress(bool enabled) : m_enabled(enabled) {}
    void report(double fraction)
    {
        if (!m_enabled)
            return;
        const int percent = static_cast<int>(std::clamp(fraction, 0.0, 1.0) * 100.0);
        if (percent == m_last)
            return;
        m_last = percent;
        writeLine("PERCENT:" + std::to_string(percent));
    }

    /// The second half, while the image is written; 100 is left for the
    /// moment the image has its final name.
    void reportWriting(uint64_t written, uint64_t expected)
    {
        report(std::min(0.99, 0.5 + 0.5 * static_cast<double>(written) /
                                        static_cast<double>(std::max<uint64_t>(expected, 1))));
    }

private:
    bool m_enabled;
    int m_last = -1;
};

// ---------------------------------------------------------------------------
// Writing entries.

using EntryPtr = std::unique_ptr<archive_entry, void (*)(archive_entry *)>;

// An archive being written. Unless finish() succeeded it is abandoned with
// archive_write_fail, so a failed image is not laid out and written in full
// only to be thrown away.
class Writer {
public:
    Writer() : m_a(archive_write_new())
    {
        if (!m_a)
            throw Failure("out of memory");
    }
    ~Writer()
    {
        if (!m_finished)
            archive_write_fail(m_a);
        archive_write_free(m_a);
    }
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    archive *get() const { return m_a; }
    void finish(const std::string &what);

private:
    archive *m_a;
    bool m_finished = false;
};

void check(archive *a, int rc, const std::string &what)
{
    if (rc == ARCHIVE_WARN) {
        std::fprintf(stderr, "%s: %s\n", kProgram, archiveText(what, a).c_str());
        return;
    }
    if (rc != ARCHIVE_OK)
        throw Failure(archiveText(what, a));
}

void Writer::finish(const std::string &what)
{
    check(m_a, archive_write_close(m_a), what);
    m_finished = true;
}

void writeAll(archive *a, const char *data, size_t size, const std::string &what)
{
    while (size > 0) {
        const la_ssize_t n = archive_write_data(a, data, size);
        if (n <= 0)
            throw Failure(archiveText("cannot write " + what, a));
        data += n;
        size -= static_cast<size_t>(n);
    }
}

/// Adds one item; onBytes is told how many content bytes went in.
template <typename OnBytes>
void addItem(archive *a, const SourceItem &item, std::vector<char> &buffer, OnBytes onBytes)
{
    EntryPtr entry(archive_entry_new(), archive_entry_free);
    archive_entry_copy_pathname(entry.get(), item.relPath.c_str());
    archive_entry_copy_stat(entry.get(), &item.st);
    // Hard links are packed as separate files.
    archive_entry_set_nlink(entry.get(), S_ISDIR(item.st.st_mode) ? 2 : 1);

    int fd = -1;
    if (S_ISLNK(item.st.st_mode)) {
        std::vector<char> target(static_cast<size_t>(item.st.st_size) + PATH_MAX + 1);
        const ssize_t n = ::readlink(item.path.c_str(), target.data(), target.size() - 1);
        if (n < 0)
            throw Failure(errnoText("cannot read link " + item.path, errno));
        target[static_cast<size_t>(n)] = '\0';
        archive_entry_copy_symlink(entry.get(), target.data());
        archive_entry_set_size(entry.get(), 0);
    } else if (S_ISREG(item.st.st_mode)) {
        fd = ::open(item.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            throw Failure(errnoText("cannot open " + item.path, errno));
        // The header carries the size seen when the tree was listed; a file
        // replaced since then would not match it.
        struct stat now;
        if (::fstat(fd, &now) != 0 || now.st_dev != item.st.st_dev ||
            now.st_ino != item.st.st_ino) {
            ::close(fd);
            throw Failure("file changed while being packed: " + item.path);
        }
    } else {
        archive_entry_set_size(entry.get(), 0);
    }
    struct FdCloser {
        int fd;
        ~FdCloser()
        {
            if (fd >= 0)
                ::close(fd);
        }
    } closer{fd};

    check(a, archive_write_header(a, entry.get()), "cannot add " + item.relPath);
    if (fd < 0)
        return;

    // Exactly the size recorded in the header goes in; a file that shrinks
    // while it is packed would leave a corrupt entry, so that fails.
    uint64_t left = static_cast<uint64_t>(item.st.st_size);
    while (left > 0) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
        const ssize_t n = ::read(fd, buffer.data(), want);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw Failure(errnoText("cannot read " + item.path, errno));
        }
        if (n == 0)
            throw Failure("file shrank while being packed: " + item.path);
        writeAll(a, buffer.data(), static_cast<size_t>(n), item.relPath);
        left -= static_cast<uint64_t>(n);
        onBytes(static_cast<uint64_t>(n));
    }
}

// ---------------------------------------------------------------------------
// Zip archives.

struct ZipOptions {
    std::string source;
    std::string target;
    bool verbose = false;
    bool keepParent = false;
};

void configureZip(archive *a)
{
    check(a, archive_write_set_format_zip(a), "zip format");
    check(a, archive_write_set_format_option(a, "zip", "compression", "deflate"), "zip format");
    check(a, archive_write_set_bytes_in_last_block(a, 1), "zip format");
}

void runZip(const ZipOptions &opt)
{
    const std::vector<SourceItem> items = collectSource(opt.source, opt.keepParent);
    TempOutput out(opt.target);
    Writer a;
    configureZip(a.get());
    check(a.get(), archive_write_open_fd(a.get(), out.fd()), "cannot start " + opt.target);

    std::vector<char> buffer(kChunk);
    for (const SourceItem &item : items) {
        if (opt.verbose)
            writeLine("adding: " + item.relPath + (S_ISDIR(item.st.st_mode) ? "/" : ""));
        addItem(a.get(), item, buffer, [](uint64_t) {});
    }
    a.finish("cannot finish " + opt.target);
    out.commit(true);
}

// ---------------------------------------------------------------------------
// Disk images.

struct ImageOptions {
    std::string source;
    std::string target;
    std::string volumeName;
    bool encrypt = false;
    bool stdinPass = false;
    bool puppetStrings = false;
    bool overwrite = false;
};

/// The volume name as an ISO 9660 volume identifier: d-characters only,
/// at most 32 of them. Rock Ridge and Joliet keep the real file names.
std::string volumeIdentifier(const std::string &name)
{
    std::string id;
    for (unsigned char c : name) {
        if (id.size() == 32)
            break;
        if (std::isalnum(c) && c < 0x80)
            id += static_cast<char>(std::toupper(c));
        else
            id += '_';
    }
    return id.empty() ? std::string("DISK_IMAGE") : id;
}

std::string readPassword()
{
    std::string pw;
    char c;
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw Failure(errnoText("cannot read the password from standard input", errno));
        if (n == 0 || c == '\0' || c == '\n')
            break;
        if (pw.size() == kMaxPassword)
            throw Failure("password on standard input is too long");
        pw += c;
    }
    c = 0;
    if (pw.empty())
        throw Failure("no password on standard input");
    return pw;
}

void wipe(std::string &s)
{
    volatile char *p = s.data();
    for (size_t i = 0; i < s.size(); ++i)
        p[i] = 0;
    s.clear();
}

// Where the ISO writer's bytes go when the image is wrapped in a zip
// container: straight into the container's one entry, with no full-size
// intermediate file.
struct ContainerSink {
    archive *container;
    Progress *progress;
    uint64_t written = 0;
    uint64_t expected = 1;
};

extern "C" la_ssize_t writeToContainer(archive *iso, void *client, const void *buf, size_t size)
{
    auto *sink = static_cast<ContainerSink *>(client);
    const char *data = static_cast<const char *>(buf);
    size_t left = size;
    while (left > 0) {
        const la_ssize_t n = archive_write_data(sink->container, data, left);
        if (n <= 0) {
            const char *msg = archive_error_string(sink->container);
            archive_set_error(iso, EIO, "%s", msg ? msg : "container write failed");
            return -1;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    sink->written += size;
    sink->progress->reportWriting(sink->written, sink->expected);
    return static_cast<la_ssize_t>(size);
}

// Counts the image bytes written to a plain file for the progress report.
struct FileSink {
    int fd;
    Progress *progress;
    uint64_t written = 0;
    uint64_t expected = 1;
};

extern "C" la_ssize_t writeToFile(archive *iso, void *client, const void *buf, size_t size)
{
    auto *sink = static_cast<FileSink *>(client);
    const char *data = static_cast<const char *>(buf);
    size_t left = size;
    while (left > 0) {
        const ssize_t n = ::write(sink->fd, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            archive_set_error(iso, errno ? errno : EIO, "%s", std::strerror(errno ? errno : EIO));
            return -1;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    sink->written += size;
    sink->progress->reportWriting(sink->written, sink->expected);
    return static_cast<la_ssize_t>(size);
}

void runImage(const ImageOptions &opt)
{
    struct stat existing;
    if (!opt.overwrite && ::lstat(opt.target.c_str(), &existing) == 0)
        throw Failure("file exists: " + opt.target);

    std::string password;
    if (opt.encrypt)
        password = readPassword();
    struct Wiper {
        std::string &s;
        ~Wiper() { wipe(s); }
    } wiper{password};

    // The image root holds the folder's contents; a single file sits at the root.
    const std::vector<SourceItem> items = collectSource(opt.source, false);
    std::string volume = opt.volumeName;
    if (volume.empty()) {
        struct stat st;
        const bool isDir = ::stat(opt.source.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        const std::string name = baseName(opt.source);
        volume = isDir ? name : stripExtension(name);
    }

    Progress progress(opt.puppetStrings);
    progress.report(0);
    const uint64_t total = contentBytes(items);
    // The image is its content rounded up to sectors plus the descriptors
    // and directory records; this only steers the progress figure.
    const uint64_t expected = total + (items.size() + 4) * 2048 * 2 + 300 * 1024;

    TempOutput out(opt.target);

    std::unique_ptr<Writer> container;
    EntryPtr containerEntry(nullptr, archive_entry_free);
    ContainerSink containerSink{nullptr, &progress, 0, expected};
    FileSink fileSink{out.fd(), &progress, 0, expected};
    if (opt.encrypt) {
        container = std::make_unique<Writer>();
        configureZip(container->get());
        check(container->get(),
              archive_write_set_format_option(container->get(), "zip", "encryption", "aes256"),
              "AES-256 encryption");
        check(container->get(), archive_write_set_passphrase(container->get(), password.c_str()),
              "AES-256 encryption");
        check(container->get(), archive_write_open_fd(container->get(), out.fd()),
              "cannot start " + opt.target);
        containerEntry.reset(archive_entry_new());
        archive_entry_copy_pathname(containerEntry.get(),
                                    (stripExtension(baseName(opt.target)) + ".iso").c_str());
        archive_entry_set_filetype(containerEntry.get(), AE_IFREG);
        archive_entry_set_perm(containerEntry.get(), 0644);
        archive_entry_set_mtime(containerEntry.get(), std::time(nullptr), 0);
        // Size left unset: the image streams in and the entry records its
        // length after the data.
        check(container->get(), archive_write_header(container->get(), containerEntry.get()),
              "cannot start " + opt.target);
        containerSink.container = container->get();
    }

    Writer iso;
    check(iso.get(), archive_write_set_format_iso9660(iso.get()), "ISO 9660 format");
    // Level 3 allows files of 4 GiB and more; Rock Ridge keeps names, modes,
    // times and links, Joliet gives readable names to readers without it.
    check(iso.get(), archive_write_set_format_option(iso.get(), "iso9660", "iso-level", "3"),
          "ISO 9660 format");
    check(iso.get(), archive_write_set_format_option(iso.get(), "iso9660", "rockridge", "strict"),
          "ISO 9660 format");
    check(iso.get(), archive_write_set_format_option(iso.get(), "iso9660", "joliet", "long"),
          "ISO 9660 format");
    check(iso.get(),
          archive_write_set_format_option(iso.get(), "iso9660", "volume-id",
                                          volumeIdentifier(volume).c_str()),
          "ISO 9660 volume name");
    check(iso.get(), archive_write_set_bytes_in_last_block(iso.get(), 1), "ISO 9660 format");
    if (opt.encrypt)
        check(iso.get(),
              archive_write_open2(iso.get(), &containerSink, nullptr, writeToContainer, nullptr,
                                  nullptr),
              "cannot start " + opt.target);
    else
        check(iso.get(),
              archive_write_open2(iso.get(), &fileSink, nullptr, writeToFile, nullptr, nullptr),
              "cannot start " + opt.target);

    // Adding copies the content into the writer's work file (first half of
    // the progress); closing lays out and writes the image (second half).
    std::vector<char> buffer(kChunk);
    uint64_t added = 0;
    for (const SourceItem &item : items) {
        addItem(iso.get(), item, buffer, [&](uint64_t n) {
            added += n;
            progress.report(0.5 * static_cast<double>(added) /
                            static_cast<double>(std::max<uint64_t>(total, 1)));
        });
    }
    iso.finish("cannot write " + opt.target);
    if (container)
        container->finish("cannot write " + opt.target);

    out.commit(opt.overwrite);
    progress.report(1.0);
    writeLine("created: " + opt.target);
}

// ---------------------------------------------------------------------------
// Command lines.

const char *kUsage = "usage: pv-packer [--skipLinks] -c -k [-V] [--keepParent] SOURCE ARCHIVE\n"
                     "       pv-packer [--skipLinks] create [-encryption [AES-128|AES-256]] "
                     "[-stdinpass] [-srcfolder [SOURCE]] [-puppetstrings] [-volname NAME] [-ov] "
                     "[SOURCE] IMAGE";

bool isOption(const std::string &arg)
{
    return arg.size() > 1 && arg[0] == '-';
}

ZipOptions parseZip(const std::vector<std::string> &args)
{
    ZipOptions opt;
    bool create = false, zip = false;
    std::vector<std::string> paths;
    for (const std::string &arg : args) {
        if (arg == "-c")
            create = true;
        else if (arg == "-k")
            zip = true;
        else if (arg == "-V" || arg == "-v")
            opt.verbose = opt.verbose || arg == "-V";
        else if (arg == "--keepParent")
            opt.keepParent = true;
        else if (isOption(arg))
            throw UsageError("unknown option " + arg);
        else
            paths.push_back(arg);
    }
    if (!create || !zip)
        throw UsageError("only archive creation in zip format (-c -k) is supported");
    if (paths.size() != 2)
        throw UsageError("expected a source and an archive path");
    opt.source = paths[0];
    opt.target = paths[1];
    return opt;
}

ImageOptions parseImage(const std::vector<std::string> &args)
{
    ImageOptions opt;
    bool haveSrcFolder = false;
    std::string srcFolder;
    std::vector<std::string> paths;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string &arg = args[i];
        const bool hasNext = i + 1 < args.size();
        if (arg == "-encryption") {
            opt.encrypt = true;
            // The cipher is optional; the container is always AES-256.
            if (hasNext && (args[i + 1] == "AES-128" || args[i + 1] == "AES-256"))
                ++i;
        } else if (arg == "-stdinpass") {
            opt.stdinPass = true;
        } else if (arg == "-srcfolder") {
            haveSrcFolder = true;
            // The source may follow or come later as a plain argument.
            if (hasNext && !isOption(args[i + 1]) && srcFolder.empty())
                srcFolder = args[++i];
        } else if (arg == "-puppetstrings") {
            opt.puppetStrings = true;
        } else if (arg == "-volname") {
            if (!hasNext)
                throw UsageError("-volname needs a name");
            opt.volumeName = args[++i];
        } else if (arg == "-ov") {
            opt.overwrite = true;
        } else if (isOption(arg)) {
            throw UsageError("unknown option " + arg);
        } else {
            paths.push_back(arg);
        }
    }
    if (!haveSrcFolder)
        throw UsageError("create needs -srcfolder");
    if (opt.encrypt && !opt.stdinPass)
        throw UsageError("-encryption needs -stdinpass: the password is read from standard input");
    if (opt.stdinPass && !opt.encrypt)
        throw UsageError("-stdinpass is only used with -encryption");
    if (!srcFolder.empty())
        paths.insert(paths.begin(), srcFolder);
    if (paths.size() != 2)
        throw UsageError("expected a source folder and an image path");
    opt.source = paths[0];
    opt.target = paths[1];
    return opt;
}

void useUtf8Names()
{
    // File names are taken as UTF-8 whatever the caller's locale, so zip
    // and Joliet names convert the same way every time.
    if (!std::setlocale(LC_CTYPE, "C.UTF-8"))
        std::setlocale(LC_CTYPE, "");
}

} // namespace

int main(int argc, char **argv)
{
    useUtf8Names();
    installSignalHandlers();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "--skipLinks") {
        g_skipLinks = true;
        args.erase(args.begin());
    }
    try {
        if (args.empty())
            throw UsageError("no arguments");
        if (args[0] == "create")
            runImage(parseImage(args));
        else
            runZip(parseZip(args));
        return 0;
    } catch (const UsageError &e) {
        std::fprintf(stderr, "%s: %s\n%s\n", kProgram, e.what(), kUsage);
        return 2;
    } catch (const Failure &e) {
        std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
        return 1;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
        return 1;
    }
}
