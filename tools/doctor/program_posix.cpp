#include "tools/doctor/program_posix.h"

#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/doctor/owned.h"

namespace {

class Dir {
public:
    explicit Dir(const char* path) : d_(::opendir(path)) {}
    ~Dir() {
        if (d_ != nullptr) ::closedir(d_);
    }
    Dir(const Dir&) = delete;
    Dir& operator=(const Dir&) = delete;
    DIR* get() const { return d_; }

private:
    DIR* d_;
};

// How execve ends for one file.
enum class Exec {
    kRuns,
    kNoFormat,  // ENOEXEC: no handler takes it, and glibc's execvp runs /bin/sh on it
    kFails,     // any other error: the child ends with status 127
};

struct ExecOutcome {
    Exec exec = Exec::kRuns;
    std::string what;    // kRuns: what it is; otherwise why it does not run
    std::string fix;
    std::string caveat;  // kRuns, yet not for certain
};

ExecOutcome Outcome(Exec exec, const std::string& what, const std::string& fix = std::string()) {
    ExecOutcome o;
    o.exec = exec;
    o.what = what;
    o.fix = fix;
    return o;
}

bool Blank(char c) { return c == ' ' || c == '\t'; }

// base/process/launch_posix.cc runs the host as the browser's account, and
// the doctor speaks for the account it runs as. The kernel lets root execute
// a file with any x bit; access() answers for everyone else, groups and ACLs
// included.
bool MayExecute(const std::string& path, const struct stat& st) {
    if (::geteuid() == 0) return (st.st_mode & 0111) != 0;
    return ::access(path.c_str(), X_OK) == 0;
}

bool MayRead(const std::string& path) { return ::geteuid() == 0 || ::access(path.c_str(), R_OK) == 0; }

// Up to `n` bytes from `offset`; false when the file cannot be read there.
bool ReadAt(int fd, off_t offset, size_t n, std::string* out) {
    out->assign(n, '\0');
    size_t got = 0;
    while (got < n) {
        ssize_t r = ::pread(fd, &(*out)[got], n - got, offset + static_cast<off_t>(got));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return false;
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    out->resize(got);
    return true;
}

// fs/exec.c, do_open_execat: a regular file, on a mount without noexec, that
// the account may execute. `who` names it in the report.
ExecOutcome OpenExec(const std::string& path, const std::string& who, struct stat* st) {
    if (::stat(path.c_str(), st) != 0) {
        const int e = errno;
        if (e == ENOENT || e == ENOTDIR) return Outcome(Exec::kFails, who + " does not exist");
        if (e == ELOOP) return Outcome(Exec::kFails, who + " is a loop of links");
        return Outcome(Exec::kFails, who + " cannot be reached: " + std::strerror(e));
    }
    if (!S_ISREG(st->st_mode)) {
        return Outcome(Exec::kFails, who + (S_ISDIR(st->st_mode) ? " is a folder" : " is not a file"));
    }
    struct statvfs fs;
    if (::statvfs(path.c_str(), &fs) == 0 && (fs.f_flag & ST_NOEXEC) != 0) {
        return Outcome(Exec::kFails, who + " is on a file system mounted noexec",
                       "move it to a file system mounted without noexec");
    }
    if (!MayExecute(path, *st)) return Outcome(Exec::kFails, who + " is not executable", "chmod 755 " + path);
    return Outcome(Exec::kRuns, "");
}

// Another processor's programs may still run through qemu and the like.
bool BinfmtMiscHandlers() {
    Dir d("/proc/sys/fs/binfmt_misc");
    if (d.get() == nullptr) return false;
    while (const dirent* e = ::readdir(d.get())) {
        const std::string n = e->d_name;
        if (n != "." && n != ".." && n != "register" && n != "status") return true;
    }
    return false;
}

bool NativeMachine(unsigned cls, unsigned machine) {
#if defined(__x86_64__)
    return (cls == ELFCLASS64 && machine == EM_X86_64) || (cls == ELFCLASS32 && machine == EM_386);
#elif defined(__aarch64__)
    return (cls == ELFCLASS64 && machine == EM_AARCH64) || (cls == ELFCLASS32 && machine == EM_ARM);
#elif defined(__i386__)
    return cls == ELFCLASS32 && machine == EM_386;
#elif defined(__arm__)
    return cls == ELFCLASS32 && machine == EM_ARM;
#else
    (void)cls;
    (void)machine;
    return true;  // not judged on other processors
#endif
}

template <typename Ehdr, typename Phdr>
ExecOutcome JudgeElfAs(int fd, const std::string& head, unsigned cls, const std::string& cwd) {
    if (head.size() < sizeof(Ehdr)) return Outcome(Exec::kNoFormat, "a cut-short ELF file");
    Ehdr e;
    std::memcpy(&e, head.data(), sizeof e);
    if (e.e_type != ET_EXEC && e.e_type != ET_DYN) {
        return Outcome(Exec::kNoFormat, "an ELF file that is no program (an object or core file)");
    }
    if (!NativeMachine(cls, e.e_machine)) {
        const std::string foreign = "built for another processor (ELF machine " + std::to_string(e.e_machine) + ")";
        if (!BinfmtMiscHandlers()) return Outcome(Exec::kNoFormat, foreign);
        ExecOutcome o = Outcome(Exec::kRuns, "an ELF program " + foreign);
        o.caveat = "it runs only if one of the binfmt_misc handlers registered here takes it";
        return o;
    }
    if (e.e_phentsize != sizeof(Phdr) || e.e_phnum < 1 || e.e_phnum > 65536 / sizeof(Phdr)) {
        return Outcome(Exec::kNoFormat, "an ELF program with broken program headers");
    }
    std::string table;
    const size_t tableBytes = static_cast<size_t>(e.e_phnum) * sizeof(Phdr);
    if (!ReadAt(fd, static_cast<off_t>(e.e_phoff), tableBytes, &table) || table.size() < tableBytes) {
        return Outcome(Exec::kFails, "an ELF program cut short");
    }
    for (size_t i = 0; i < e.e_phnum; ++i) {
        Phdr p;
        std::memcpy(&p, table.data() + i * sizeof(Phdr), sizeof p);
        if (p.p_type != PT_INTERP) continue;
        std::string interp;
        if (p.p_filesz < 2 || p.p_filesz > PATH_MAX ||
            !ReadAt(fd, static_cast<off_t>(p.p_offset), static_cast<size_t>(p.p_filesz), &interp) ||
            interp.size() != p.p_filesz || interp.back() != '\0') {
            return Outcome(Exec::kNoFormat, "an ELF program with a broken loader name");
        }
        interp.resize(std::strlen(interp.c_str()));
        struct stat st;
        const std::string at = interp[0] == '/' ? interp : cwd + "/" + interp;
        ExecOutcome loader = OpenExec(at, "its loader " + interp, &st);
        if (loader.exec != Exec::kRuns) return loader;
        return Outcome(Exec::kRuns, "an ELF program for this machine, loaded by " + interp);
    }
    return Outcome(Exec::kRuns, "a static ELF program for this machine");
}

// fs/binfmt_elf.c, load_elf_binary: the class, type and machine, then the
// loader (PT_INTERP), opened as the program is.
ExecOutcome JudgeElf(int fd, const std::string& head, const std::string& cwd) {
    const unsigned cls = head.size() > EI_CLASS ? static_cast<unsigned char>(head[EI_CLASS]) : 0;
    if (cls == ELFCLASS64) return JudgeElfAs<Elf64_Ehdr, Elf64_Phdr>(fd, head, cls, cwd);
    if (cls == ELFCLASS32) return JudgeElfAs<Elf32_Ehdr, Elf32_Phdr>(fd, head, cls, cwd);
    return Outcome(Exec::kNoFormat, "an ELF file of no known class");
}

// fs/binfmt_script.c, load_script: within the first BINPRM_BUF_SIZE (256)
// bytes, "#!", blanks, then the interpreter up to a blank, NUL or the line's
// end. No name, or one the buffer's end cuts off, is ENOEXEC.
bool ParseShebang(std::string buf, std::string* interpreter) {
    buf.resize(256, '\0');
    const size_t last = 255;
    size_t end = buf.find('\n');
    if (end == std::string::npos) {
        size_t i = 2;
        while (i <= last && Blank(buf[i])) ++i;
        if (i > last) return false;
        while (i <= last && !Blank(buf[i]) && buf[i] != '\0') ++i;
        if (i > last) return false;
        end = last;
    }
    while (end > 2 && Blank(buf[end - 1])) --end;
    size_t name = 2;
    while (name < end && Blank(buf[name])) ++name;
    if (name >= end) return false;
    size_t sep = name;
    while (sep < end && !Blank(buf[sep]) && buf[sep] != '\0') ++sep;
    *interpreter = buf.substr(name, sep - name);
    return !interpreter->empty();
}

// fs/exec.c, execve: the file, then the handler its first bytes select;
// a script's interpreter goes the same way, up to BINPRM_MAX_RECURSION deep.
ExecOutcome Execve(const std::string& path, const std::string& who, const std::string& cwd, int depth,
                   std::string* head) {
    struct stat st;
    ExecOutcome open = OpenExec(path, who, &st);
    if (open.exec != Exec::kRuns) return open;
    Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0 || !ReadAt(fd.get(), 0, 256, head)) {
        // The kernel reads a program its account may only execute.
        ExecOutcome o = Outcome(Exec::kRuns, "an executable file");
        o.caveat = "the doctor cannot read it, so its format is not checked";
        return o;
    }
    if (head->compare(0, 4, "\x7f" "ELF") == 0) return JudgeElf(fd.get(), *head, cwd);
    if (head->compare(0, 2, "#!") != 0) return Outcome(Exec::kNoFormat, "neither an ELF program nor a #! script");
    std::string interpreter;
    if (!ParseShebang(*head, &interpreter)) return Outcome(Exec::kNoFormat, "a #! line naming no interpreter");
    if (depth >= 4) return Outcome(Exec::kFails, "#! interpreters nested too deep");
    // The kernel opens a relative name from the working folder, which
    // LaunchProcess set to the program's.
    const std::string at = interpreter[0] == '/' ? interpreter : cwd + "/" + interpreter;
    std::string itsHead;
    ExecOutcome runner = Execve(at, "its interpreter " + interpreter, cwd, depth + 1, &itsHead);
    if (runner.exec == Exec::kNoFormat) {
        return Outcome(Exec::kNoFormat, "a script whose interpreter " + interpreter + " is " + runner.what);
    }
    if (runner.exec == Exec::kFails) return runner;
    // The interpreter opens the script by its name.
    if (!MayRead(path)) return Outcome(Exec::kFails, who + " cannot be read by its interpreter", "chmod 755 " + path);
    runner.what = "a script run by " + interpreter;
    return runner;
}

}  // namespace

ProgramVerdict JudgeProgram(const std::string& manifestPath, const std::string& pathValue) {
    ProgramVerdict v;
    const std::string fix = "set \"path\" in " + manifestPath + " to the host's absolute path";
    // LaunchInBackground: on Linux "path" must be absolute; a backslash is an
    // ordinary character there.
    if (pathValue.empty() || pathValue[0] != '/') {
        v.status = Status::kFail;
        v.text = "\"path\" " + pathValue + " in " + manifestPath + " is relative" +
                 (pathValue.find('\\') != std::string::npos ? " (a backslash is no separator on Linux)" : "");
        v.fix = fix;
        v.browserSays = browser_says::kNotFound;
        return v;
    }
    // LaunchInBackground: base::PathExists, access(F_OK), follows links.
    struct stat st;
    if (::stat(pathValue.c_str(), &st) != 0) {
        v.status = Status::kFail;
        v.text = "the host " + pathValue + " does not exist";
        v.fix = "install the host there, or " + fix;
        v.browserSays = browser_says::kNotFound;
        return v;
    }
    const size_t slash = pathValue.rfind('/');
    const std::string folder = slash == 0 ? "/" : pathValue.substr(0, slash);
    const std::string host = "the host " + pathValue;
    std::string head;
    ExecOutcome o = Execve(pathValue, host, folder, 0, &head);
    if (o.exec == Exec::kNoFormat) {
        // glibc's execvp, on ENOEXEC, runs "/bin/sh <path>" instead.
        const std::string sh = host + " is " + o.what + ": execvp runs it with /bin/sh";
        if (!MayRead(pathValue)) {
            o = Outcome(Exec::kFails, sh + ", which cannot read it", "chmod 755 " + pathValue);
        } else if (head.empty()) {
            o = Outcome(Exec::kFails, host + " is empty: execvp runs it with /bin/sh, which ends at once",
                        "install the host there again");
        } else if (head.find('\0') != std::string::npos) {
            o = Outcome(Exec::kFails, sh + ", which cannot run binary content", "install the host there again");
        } else {
            v.status = Status::kWarn;
            v.text = sh + " as a shell script";
            v.fix = "start it with a #! line naming its interpreter";
            return v;
        }
    }
    if (o.exec == Exec::kFails) {
        v.status = Status::kFail;
        v.text = (o.what.compare(0, host.size(), host) == 0 ? o.what : host + ": " + o.what) +
                 ": the browser starts it and it ends at once";
        v.fix = o.fix.empty() ? fix : o.fix;
        v.browserSays = browser_says::kExited;
        v.browserAlsoSays = browser_says::kIoError;
        return v;
    }
    v.text = host + " is " + o.what;
    if (!o.caveat.empty()) {
        v.status = Status::kWarn;
        v.text += ", but " + o.caveat;
    } else if (::geteuid() == 0 && (st.st_mode & S_IXOTH) == 0) {
        v.status = Status::kWarn;
        v.text += ", but only its owner or group may run it: a browser of another account cannot";
        v.fix = "chmod 755 " + pathValue;
    }
    return v;
}
