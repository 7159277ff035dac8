// SPDX-License-Identifier: BSD-3-Clause
#define FUSE_USE_VERSION FUSE_MAKE_VERSION(3, 14)
#include "file_system.h"

#include <fuse3/fuse.h>
#include <fuse3/fuse_lowlevel.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "control.h"
#include "node_names.h"

namespace qvk::vtoken {

namespace {

// One open file; fi->fh points at it from open to release.
class OpenFile {
public:
    virtual ~OpenFile() = default;
    virtual int read(std::span<char> buffer, off_t offset) = 0;
    virtual int write(std::span<const char> buffer) = 0;
};

OpenFile &open_file(const fuse_file_info *fi) { return *reinterpret_cast<OpenFile *>(fi->fh); }

struct Context {
    Context(TokenTable &tokens, const CommandLog &command_log) : table(tokens), log(command_log) {}

    TokenTable &table;
    const CommandLog &log;
    std::time_t mounted_at = std::time(nullptr);

    // Every open file, owned here: the kernel sends a release after close
    // returns, so files still open when the program stops are freed with
    // the context rather than lost.
    std::mutex open_files_mutex;
    std::map<const OpenFile *, std::unique_ptr<OpenFile>> open_files;

    std::uint64_t adopt(std::unique_ptr<OpenFile> file) {
        const OpenFile *key = file.get();
        std::lock_guard lock(open_files_mutex);
        open_files.emplace(key, std::move(file));
        return reinterpret_cast<std::uint64_t>(key);
    }
    void release(const OpenFile *file) {
        std::lock_guard lock(open_files_mutex);
        open_files.erase(file);
    }
};

Context &context() { return *static_cast<Context *>(fuse_get_context()->private_data); }

// A session on a token node: the card state of this descriptor and the
// answer waiting to be read.
class NodeSession final : public OpenFile {
public:
    NodeSession(std::shared_ptr<TokenNode> node, const CommandLog &log)
        : node_(std::move(node)), card_(node_->card()), log_(log) {}

    int write(std::span<const char> buffer) override {
        if (!node_->plugged()) return -ENODEV;
        if (buffer.size() > kMaxTransfer) return -EMSGSIZE;
        const std::span<const std::uint8_t> command(
            reinterpret_cast<const std::uint8_t *>(buffer.data()), buffer.size());
        log_.record(node_->index(), command);

        std::lock_guard lock(mutex_);
        answer_.reset();
        const std::size_t accepted = bytes_accepted(node_->fault(), command.size());
        if (accepted == command.size()) answer_ = card_.process(command);
        return static_cast<int>(accepted);
    }

    int read(std::span<char> buffer, off_t) override {
        if (!node_->plugged()) return -ENODEV;
        std::lock_guard lock(mutex_);
        if (!answer_) return 0;
        // An answer that does not fit is kept for a larger read, never cut.
        if (answer_->size() > buffer.size()) return -EOVERFLOW;
        std::optional<Bytes> delivered = delivered_answer(node_->fault(), std::move(*answer_));
        answer_.reset();
        if (!node_->plugged()) return -ENODEV;
        if (!delivered) return -EIO;
        std::memcpy(buffer.data(), delivered->data(), delivered->size());
        return static_cast<int>(delivered->size());
    }

private:
    const std::shared_ptr<TokenNode> node_;
    CardSession card_;
    const CommandLog &log_;
    std::mutex mutex_;
    std::optional<Bytes> answer_;
};

// The control file: reads give the state as it was at open; every write is
// run as control commands.
class ControlSession final : public OpenFile {
public:
    explicit ControlSession(TokenTable &table) : table_(table), state_(describe_state(table)) {}

    int read(std::span<char> buffer, off_t offset) override {
        if (offset < 0 || static_cast<std::size_t>(offset) >= state_.size()) return 0;
        const std::size_t count =
            std::min(buffer.size(), state_.size() - static_cast<std::size_t>(offset));
        std::memcpy(buffer.data(), state_.data() + offset, count);
        return static_cast<int>(count);
    }

    int write(std::span<const char> buffer) override {
        try {
            run_control(table_, std::string_view(buffer.data(), buffer.size()));
        } catch (const std::invalid_argument &error) {
            std::fprintf(stderr, "qvkvtoken: %s\n", error.what());
            return -EINVAL;
        }
        return static_cast<int>(buffer.size());
    }

private:
    TokenTable &table_;
    const std::string state_;
};

enum class Entry { none, root, control, node };

struct Lookup {
    Entry entry = Entry::none;
    std::shared_ptr<TokenNode> node;
};

Lookup look_up(const char *path) {
    const std::string_view name(path);
    if (name == "/") return {Entry::root, nullptr};
    if (!name.starts_with('/')) return {};
    const std::string_view base = name.substr(1);
    if (base == kControlFileName) return {Entry::control, nullptr};
    if (const auto index = node_index_of(base))
        if (auto node = context().table.find(*index)) return {Entry::node, std::move(node)};
    return {};
}

int do_getattr(const char *path, struct stat *st, fuse_file_info *) {
    const Lookup found = look_up(path);
    if (found.entry == Entry::none) return -ENOENT;
    *st = {};
    st->st_uid = getuid();
    st->st_gid = getgid();
    st->st_atime = st->st_mtime = st->st_ctime = context().mounted_at;
    switch (found.entry) {
    case Entry::root:
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        break;
    case Entry::control:
        st->st_mode = S_IFREG | 0644;
        st->st_nlink = 1;
        break;
    default:
        st->st_mode = S_IFREG | 0666;
        st->st_nlink = 1;
        break;
    }
    return 0;
}

int do_readdir(const char *path, void *buffer, fuse_fill_dir_t fill, off_t, fuse_file_info *,
               fuse_readdir_flags) {
    if (std::string_view(path) != "/") return -ENOTDIR;
    const auto no_flags = static_cast<fuse_fill_dir_flags>(0);
    fill(buffer, ".", nullptr, 0, no_flags);
    fill(buffer, "..", nullptr, 0, no_flags);
    fill(buffer, std::string(kControlFileName).c_str(), nullptr, 0, no_flags);
    for (const int index : context().table.plugged_indices())
        fill(buffer, node_name(index).c_str(), nullptr, 0, no_flags);
    return 0;
}

int do_open(const char *path, fuse_file_info *fi) {
    Lookup found = look_up(path);
    std::unique_ptr<OpenFile> file;
    if (found.entry == Entry::node)
        file = std::make_unique<NodeSession>(std::move(found.node), context().log);
    else if (found.entry == Entry::control)
        file = std::make_unique<ControlSession>(context().table);
    else
        return found.entry == Entry::root ? -EISDIR : -ENOENT;
    fi->direct_io = 1;
    fi->nonseekable = found.entry == Entry::node;
    fi->fh = context().adopt(std::move(file));
    return 0;
}

int do_read(const char *, char *buffer, size_t size, off_t offset, fuse_file_info *fi) {
    return open_file(fi).read({buffer, size}, offset);
}

int do_write(const char *, const char *buffer, size_t size, off_t, fuse_file_info *fi) {
    return open_file(fi).write({buffer, size});
}

// Shells open the control file with O_TRUNC; truncation means nothing here.
int do_truncate(const char *path, off_t, fuse_file_info *) {
    return look_up(path).entry == Entry::none ? -ENOENT : 0;
}

// Every file counts as ready at once, as a node of a driver without poll
// support does: a read waits as long as the answer takes. The handle for a
// later notification is never needed, and libfuse leaves freeing it to us.
int do_poll(const char *, fuse_file_info *, fuse_pollhandle *handle, unsigned *ready) {
    if (handle != nullptr) fuse_pollhandle_destroy(handle);
    *ready = POLLIN | POLLRDNORM | POLLOUT | POLLWRNORM;
    return 0;
}

int do_release(const char *, fuse_file_info *fi) {
    context().release(&open_file(fi));
    return 0;
}

void *do_init(fuse_conn_info *, fuse_config *config) {
    // No caching of names or attributes: a token that is unplugged must
    // vanish at once, and one plugged in must appear at once.
    config->entry_timeout = 0;
    config->attr_timeout = 0;
    config->negative_timeout = 0;
    config->direct_io = 1;
    return fuse_get_context()->private_data;
}

fuse_operations operations() {
    fuse_operations ops{};
    ops.getattr = do_getattr;
    ops.readdir = do_readdir;
    ops.open = do_open;
    ops.read = do_read;
    ops.write = do_write;
    ops.truncate = do_truncate;
    ops.release = do_release;
    ops.poll = do_poll;
    ops.init = do_init;
    return ops;
}

struct FuseArgsOwner {
    fuse_args args = FUSE_ARGS_INIT(0, nullptr);
    ~FuseArgsOwner() { fuse_opt_free_args(&args); }
    void add(const std::string &argument) { fuse_opt_add_arg(&args, argument.c_str()); }
};

struct FuseDeleter {
    void operator()(fuse *f) const { fuse_destroy(f); }
};
struct LoopConfigDeleter {
    void operator()(fuse_loop_config *config) const { fuse_loop_cfg_destroy(config); }
};

// Runs the caller's start-up step; false (said on standard error) when it fails.
bool start(const std::function<void()> &ready) {
    if (!ready) return true;
    try {
        ready();
        return true;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "qvkvtoken: %s\n", error.what());
        return false;
    }
}

}  // namespace

int serve(const Options &options, TokenTable &table, const CommandLog &log,
          const std::function<void()> &ready) {
    // libfuse unmounts by the name it mounted with, and in the background
    // the program runs from "/": a relative name would then miss the mount
    // (or name another one).
    char mountpoint[PATH_MAX];
    if (realpath(options.mountpoint.c_str(), mountpoint) == nullptr) {
        std::fprintf(stderr, "qvkvtoken: mount point '%s': %s\n", options.mountpoint.c_str(),
                     std::strerror(errno));
        return 1;
    }
    FuseArgsOwner arguments;
    arguments.add("qvkvtoken");
    std::string mount_options = "fsname=qvkvtoken,subtype=qvkvtoken";
    // Lets other users (a daemon under another account) reach the nodes; an
    // unprivileged user may only ask for it when fuse.conf allows it.
    if (geteuid() == 0) mount_options += ",allow_other";
    arguments.add("-o");
    arguments.add(mount_options);
    if (options.debug) arguments.add("-d");

    Context shared(table, log);
    const fuse_operations ops = operations();
    std::unique_ptr<fuse, FuseDeleter> file_system(
        fuse_new(&arguments.args, &ops, sizeof ops, &shared));
    if (!file_system) {
        std::fprintf(stderr, "qvkvtoken: cannot set up the FUSE file system\n");
        return 1;
    }
    fuse_session *session = fuse_get_session(file_system.get());
    if (fuse_set_signal_handlers(session) != 0) {
        std::fprintf(stderr, "qvkvtoken: cannot install the signal handlers\n");
        return 1;
    }
    if (fuse_mount(file_system.get(), mountpoint) != 0) {
        fuse_remove_signal_handlers(session);
        std::fprintf(stderr, "qvkvtoken: cannot mount on '%s' (see the message above)\n",
                     options.mountpoint.c_str());
        return 1;
    }
    int status = 0;
    if (fuse_daemonize(options.foreground ? 1 : 0) != 0) {
        status = 1;
    } else if (!start(ready)) {
        status = 1;
    } else {
        std::unique_ptr<fuse_loop_config, LoopConfigDeleter> loop(fuse_loop_cfg_create());
        // The loop returns the number of the signal that ended it (a clean
        // stop), 0 when the mount was taken away, and -errno on failure.
        status = fuse_loop_mt(file_system.get(), loop.get()) < 0 ? 1 : 0;
    }
    fuse_remove_signal_handlers(session);
    fuse_unmount(file_system.get());
    return status;
}

}  // namespace qvk::vtoken
