#include "test_support.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>

#include <minizip/unzip.h>

#include "commands/texture_commands.h"

std::FILE *stream_of(const bytes &data)
{
    std::FILE *f = std::tmpfile();
    if (f != nullptr) {
        if (!data.empty())
            std::fwrite(data.data(), 1, data.size(), f);
        std::rewind(f);
    }
    return f;
}

std::FILE *stream_of(const std::string &text)
{
    return stream_of(bytes(text.begin(), text.end()));
}

bytes contents_of(std::FILE *stream)
{
    bytes data;
    std::fflush(stream);
    std::rewind(stream);
    int c;
    while ((c = std::fgetc(stream)) != EOF)
        data.push_back(static_cast<unsigned char>(c));
    return data;
}

std::string text_of(const bytes &data)
{
    return std::string(data.begin(), data.end());
}

std::string text_of(std::FILE *stream)
{
    return text_of(contents_of(stream));
}

bool write_text(const std::string &path, const std::string &text)
{
    return write_bytes(path, bytes(text.begin(), text.end()));
}

failure read_and_import(named_file map, named_file surfaces, std::FILE *err)
{
    map_reading reading;
    const failure f = read_map_shared(map, err, &reading);
    return f.status == NO_FAILURE ? import_surface_file(map, &reading, surfaces, err) : f;
}

std::vector<std::pair<std::string, std::string>> read_archive(const std::string &path)
{
    std::vector<std::pair<std::string, std::string>> files;
    unzFile zip = unzOpen64(path.c_str());
    for (int at = zip ? unzGoToFirstFile(zip) : UNZ_END_OF_LIST_OF_FILE; at == UNZ_OK; at = unzGoToNextFile(zip)) {
        char name[4096];
        unz_file_info64 info;
        std::string data;
        char buffer[65536];
        int n = -1;
        if (unzGetCurrentFileInfo64(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0) == UNZ_OK &&
            unzOpenCurrentFile(zip) == UNZ_OK) {
            while ((n = unzReadCurrentFile(zip, buffer, sizeof buffer)) > 0)
                data.append(buffer, static_cast<std::size_t>(n));
            n = unzCloseCurrentFile(zip) == UNZ_OK ? n : -1;
        }
        if (n != 0)
            return {};
        files.emplace_back(name, data);
    }
    if (zip != nullptr)
        unzClose(zip);
    return files;
}

texture_lump lump_of(const bytes &data)
{
    texture_lump lump = lump_of_size(data.size());
    std::copy(data.begin(), data.end(), lump.bytes.get());
    return lump;
}

bytes bytes_of(const texture_lump &lump)
{
    return bytes(lump.bytes.get(), lump.bytes.get() + lump.size);
}

bytes with_flags(bytes map, std::uint32_t lump_offset, std::size_t i, std::uint32_t flags)
{
    store_u32le(map.data() + lump_offset + i * RECORD_SIZE + SURFACE_FLAGS_AT, flags);
    return map;
}

temp_dir::temp_dir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "lumpsmith-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        std::abort();
    path = pattern;
    // Wide open so that a run as nobody can reach the files inside.
    chmod(path.c_str(), 0777);
}

temp_dir::~temp_dir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

static std::string slurp(const std::string &path)
{
    return text_of(read_bytes(path));
}

started_tool start_tool(const temp_dir &dir, const std::vector<std::string> &args, const run_options &options)
{
    // Each run its own capture files, so that runs may overlap.
    static int runs = 0;
    const std::string stem = dir / (".run" + std::to_string(getpid()) + "-" + std::to_string(++runs));
    started_tool tool{0, options.stdout_path.empty() ? stem + ".out" : std::string(), stem + ".err"};
    std::vector<char *> argv;
    // The shell applies the redirections, then becomes the binary.
    const std::string script = "exec \"$0\" \"$@\" " + options.redirections;
    std::string binary = options.program == "lumpsmith" ? LUMPSMITH_BINARY : LUMPSMITH_BUILD_DIR "/" + options.program;
    // The checkout may lie where nobody cannot reach; the test's folder is open to all.
    if (options.as_nobody) {
        const std::string copy = dir / ".nobody-lumpsmith";
        std::filesystem::copy_file(binary, copy, std::filesystem::copy_options::overwrite_existing);
        chmod(copy.c_str(), 0755);
        binary = copy;
    }
    if (!options.redirections.empty()) {
        for (const char *word : {"/bin/sh", "-c", script.c_str(), binary.c_str()})
            argv.push_back(const_cast<char *>(word));
    } else {
        argv.push_back(const_cast<char *>(options.program == "lumpsmith" ? options.argv0.c_str() : binary.c_str()));
    }
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);

    tool.pid = fork();
    if (tool.pid == 0) {
        const std::string &stdout_target = options.stdout_path.empty() ? tool.out_path : options.stdout_path;
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(stdout_target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(tool.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
            chdir(dir.path.c_str()) != 0)
            _exit(127);
        close(in);
        close(out);
        close(err);
        if (options.as_nobody && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(127);
        const struct rlimit limit = {options.address_space, options.address_space};
        const struct rlimit size = {options.file_size, options.file_size};
        if ((options.address_space != 0 && setrlimit(RLIMIT_AS, &limit) != 0) ||
            (options.file_size != 0 && setrlimit(RLIMIT_FSIZE, &size) != 0))
            _exit(127);
        if (options.umask >= 0)
            umask(static_cast<mode_t>(options.umask));
        alarm(options.deadline);  // kept across exec
        char byte;
        if (options.gate >= 0 && read(options.gate, &byte, 1) != 1)
            _exit(127);
        execv(options.redirections.empty() ? binary.c_str() : "/bin/sh", argv.data());
        _exit(127);
    }
    return tool;
}

run_result finish_tool(const started_tool &tool)
{
    int wstatus = 0;
    waitpid(tool.pid, &wstatus, 0);
    run_result result;
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    result.out = tool.out_path.empty() ? std::string() : slurp(tool.out_path);
    result.err = slurp(tool.err_path);
    if (!tool.out_path.empty())
        unlink(tool.out_path.c_str());
    unlink(tool.err_path.c_str());
    return result;
}

namespace {

// True while the run goes on; it stays there for finish_tool to collect.
bool still_running(const started_tool &tool)
{
    siginfo_t info = {};
    return waitid(P_PID, static_cast<id_t>(tool.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

// Calls done() every millisecond until it holds, the run ends, or seconds pass.
template <typename Done>
bool poll_while_running(const started_tool &tool, unsigned seconds, Done done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (; std::chrono::steady_clock::now() < deadline; usleep(1000)) {
        const bool ended = !still_running(tool);
        if (done())
            return true;
        if (ended)
            return false;
    }
    return false;
}

}  // namespace

bool says_on_stderr(const started_tool &tool, const std::string &text, unsigned seconds)
{
    return poll_while_running(tool, seconds, [&] { return slurp(tool.err_path).find(text) != std::string::npos; });
}

int open_fifo_for(const started_tool &tool, const std::string &path, unsigned seconds)
{
    // Without O_NONBLOCK the open would wait for a reader that may never come.
    int fd = -1;
    poll_while_running(tool, seconds, [&] { return (fd = open(path.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; });
    if (fd >= 0)
        fcntl(fd, F_SETFL, O_WRONLY);
    return fd;
}

int run_shell(const std::string &command, unsigned seconds)
{
    std::string quoted = "'";
    for (const char c : command)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    const int status = std::system(("timeout " + std::to_string(seconds) + " bash -c " + quoted + "'").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

run_result run_tool(const temp_dir &dir, const std::vector<std::string> &args, const run_options &options)
{
    return finish_tool(start_tool(dir, args, options));
}

std::string usage_for(const std::string &program)
{
    return "lumpsmith:\n\n"
           "list textures       : " + program + " -tl bsp_file\n"
           "copy textures       : " + program + " -tc bsp_file src_dir dest_dir\n"
           "export surface file : " + program + " -se bsp_file [surface_file]\n"
           "import surface file : " + program + " -si bsp_file surface_file\n"
           "surface list        : " + program + " -sl\n";
}
