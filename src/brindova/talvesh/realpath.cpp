#include "talvesh/realpath.hpp"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/param.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace brindova::talvesh {
namespace {

// Where a text lies in one of the walk's pools of bytes.
struct Span {
    std::size_t start, size;
};

// What is left to walk, last part first, its texts in one pool so that a
// part's bytes are dropped when it is taken. A link being resolved is kept
// as its path followed by a marker: when the marker comes up, the path
// walked so far is that link's resolved target.
class Rest {
public:
    bool empty() const { return parts_.empty(); }

    bool push(std::string_view text, bool marker = false)
    {
        const Part part{{pool_.size(), text.size()}, marker};
        return pool_.append(text.data(), text.size()) && parts_.push(part);
    }

    // `text.split("/")[::-1]`, pushed.
    bool push_reversed(std::string_view text)
    {
        for (std::size_t end = text.size();;) {
            const std::size_t slash = end == 0 ? std::string_view::npos : text.rfind('/', end - 1);
            // (Views made by hand: substr's range check would call into the C++ runtime.)
            if (slash == std::string_view::npos) return push({text.data(), end});
            if (!push({text.data() + slash + 1, end - slash - 1})) return false;
            end = slash;
        }
    }

    // Takes the last part: its text stays readable until the next push.
    std::string_view pop(bool& marker)
    {
        const Part part = parts_.back();
        parts_.resize_down(parts_.size() - 1);
        pool_.resize_down(part.text.start);
        marker = part.marker;
        return {pool_.data() + part.text.start, part.text.size};
    }

private:
    struct Part {
        Span text;
        bool marker;
    };
    Bytes pool_;
    Array<Part> parts_;
};

// The links met: each one's resolved target, or none while it is being
// resolved. Open addressing on an FNV hash; texts kept in one pool.
class Seen {
public:
    struct Entry {
        std::uint64_t hash;
        Span link, target;
        bool used, resolved;
    };

    // The entry for `link`, or null.
    Entry* find(std::string_view link)
    {
        if (slots_.empty()) return nullptr;
        const std::uint64_t h = hash(link);
        for (std::size_t i = h & (slots_.size() - 1);; i = (i + 1) & (slots_.size() - 1)) {
            Entry& e = slots_[i];
            if (!e.used) return nullptr;
            if (e.hash == h && text(e.link) == link) return &e;
        }
    }

    // seen[link] = None, for a link not seen before.
    bool mark(std::string_view link)
    {
        if ((count_ + 1) * 2 > slots_.size() && !grow()) return false;
        const std::uint64_t h = hash(link);
        std::size_t i = h & (slots_.size() - 1);
        while (slots_[i].used) i = (i + 1) & (slots_.size() - 1);
        const Span at{pool_.size(), link.size()};
        if (!pool_.append(link.data(), link.size())) return false;
        slots_[i] = {h, at, {}, true, false};
        ++count_;
        return true;
    }

    // seen[link] = target, for a link already marked.
    bool resolve(std::string_view link, std::string_view target)
    {
        const Span at{pool_.size(), target.size()};
        Entry* e = pool_.append(target.data(), target.size()) ? find(link) : nullptr;
        if (!e) return false;
        e->target = at;
        e->resolved = true;
        return true;
    }

    std::string_view text(Span s) const { return {pool_.data() + s.start, s.size}; }

private:
    static std::uint64_t hash(std::string_view s)
    {
        std::uint64_t h = 0xcbf29ce484222325ULL;
        for (const char c : s) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
        return h;
    }

    bool grow()
    {
        const std::size_t size = slots_.empty() ? 16 : slots_.size() * 2;
        Array<Entry> grown;
        const Entry none{};
        for (std::size_t i = 0; i < size; ++i) {
            if (!grown.push(none)) return false;
        }
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            const Entry& e = slots_[i];
            if (!e.used) continue;
            std::size_t j = e.hash & (size - 1);
            while (grown[j].used) j = (j + 1) & (size - 1);
            grown[j] = e;
        }
        slots_.swap(grown);
        return true;
    }

    Bytes pool_;
    Array<Entry> slots_;
    std::size_t count_ = 0;
};

// `os.getcwd()`: posix grows its buffer 1024 bytes at a time while the call
// answers ERANGE.
bool working_directory(Bytes& path)
{
    constexpr std::size_t chunk = 1024;
    path.clear();
    for (;;) {
        if (!path.extend(chunk)) return false;
        if (getcwd(path.data(), path.size()) != nullptr) break;
        if (errno != ERANGE) return false;
    }
    path.resize_down(std::strlen(path.data()));
    return true;
}

// `path + name`, or `path + "/" + name`, NUL-terminated past its size.
bool join(const Bytes& path, std::string_view name, Bytes& out)
{
    out.clear();
    const bool root = view(path) == "/";
    return out.append(path.data(), path.size()) && (root || out.push('/')) && out.append(name.data(), name.size()) &&
           out.push('\0') && (out.resize_down(out.size() - 1), true);
}

bool assign(Bytes& to, std::string_view text)
{
    to.clear();
    return to.append(text.data(), text.size());
}

Walk walk(std::string_view text, Bytes& path)
{
    Rest rest;
    Seen seen;
    Bytes next, target;
    if (!rest.push_reversed(text)) return Walk::retreat;
    if (text.starts_with('/') ? !assign(path, "/") : !working_directory(path)) return Walk::retreat;
    while (!rest.empty()) {
        bool marker = false;
        const std::string_view name = rest.pop(marker);
        if (marker) {
            const std::string_view link = rest.pop(marker);
            if (!seen.resolve(link, view(path))) return Walk::retreat;
            continue;
        }
        if (name.empty() || name == ".") continue;
        if (name == "..") {
            const std::size_t slash = view(path).rfind('/');
            // `rindex` would raise; but getcwd's answer, where the walk starts, is absolute (glibc refuses others)
            if (slash == std::string_view::npos) return Walk::retreat;
            path.resize_down(slash);
            if (path.empty() && !path.push('/')) return Walk::retreat;
            continue;
        }
        if (!join(path, name, next)) return Walk::retreat;
        // posix's lstat: glibc's fstatat makes this very call (called by its
        // number, the module needs no newer glibc than its other calls do).
        // Any failure leaves the part as it is.
        struct stat st;
        if (syscall(SYS_newfstatat, AT_FDCWD, next.data(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            // An interrupted call's OSError would run the signal handlers.
            if (errno == EINTR) return Walk::retreat;
            path.swap(next);
            continue;
        }
        const Seen::Entry* known = S_ISLNK(st.st_mode) ? seen.find(view(next)) : nullptr;
        if (!S_ISLNK(st.st_mode) || (known && !known->resolved)) {
            // Not a link, or a loop: then the link stays as it is.
            path.swap(next);
            continue;
        }
        if (known) {
            if (!assign(path, seen.text(known->target))) return Walk::retreat;
            continue;
        }
        // posix reads at most MAXPATHLEN bytes of a target.
        if (target.empty() && !target.extend(MAXPATHLEN)) return Walk::retreat;
        const ssize_t length = readlink(next.data(), target.data(), MAXPATHLEN);
        if (length < 0) {
            if (errno == EINTR) return Walk::retreat;  // uncovered: readlink fails on a link that lstat has just seen only when the link is removed in between, which no test can time
            path.swap(next);                           // uncovered: as above
            continue;                                  // uncovered: as above
        }
        const std::string_view to(target.data(), static_cast<std::size_t>(length));
        if (!seen.mark(view(next)) || (to.starts_with('/') && !assign(path, "/")) || !rest.push(view(next)) ||
            !rest.push({}, true) || !rest.push_reversed(to)) {
            return Walk::retreat;
        }
    }
    return Walk::done;
}

}  // namespace

Walk realpath(std::string_view text, Bytes& path) noexcept
{
    return walk(text, path);
}

}  // namespace brindova::talvesh
