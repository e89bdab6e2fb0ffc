// Helpers for the configuration and logging tests: temporary directories,
// whole-file reads and writes, and capture of the default log's lines.
#ifndef CONF_TEST_UTIL_H
#define CONF_TEST_UTIL_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace conftest {

// A fresh directory under /tmp, removed with its contents (one level of
// subdirectories) at destruction.
class TempDir {
  public:
    TempDir()
    {
        char tmpl[] = "/tmp/conftest.XXXXXX";
        char *p = mkdtemp(tmpl);
        if (p == nullptr)
            std::abort();
        path_ = p;
    }
    ~TempDir() { remove_tree(path_); }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

    static void remove_tree(const std::string &dir)
    {
        if (DIR *d = opendir(dir.c_str())) {
            while (struct dirent *de = readdir(d)) {
                std::string n = de->d_name;
                if (n == "." || n == "..")
                    continue;
                std::string p = dir + "/" + n;
                struct stat st;
                if (lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                    remove_tree(p);
                else
                    unlink(p.c_str());
            }
            closedir(d);
        }
        rmdir(dir.c_str());
    }

  private:
    std::string path_;
};

inline void write_file(const std::string &path, const std::string &content)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

inline std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    std::string cur;
    for (char c : text) {
        if (c == '\n') {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty())
        out.push_back(cur);
    return out;
}

// Names in a directory, sorted, without "." and "..".
inline std::vector<std::string> list_dir(const std::string &dir)
{
    std::vector<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *de = readdir(d)) {
            std::string n = de->d_name;
            if (n != "." && n != "..")
                out.push_back(n);
        }
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// The message part of a default-log line on standard error:
// "[stamp] host proc[pid]: General Error: text" -> "Error: text".
inline std::vector<std::string> messages_of(const std::string &captured)
{
    std::vector<std::string> out;
    for (const std::string &l : lines_of(captured)) {
        size_t g = l.find(": General ");
        out.push_back(g == std::string::npos ? l : l.substr(g + 10));
    }
    return out;
}

} // namespace conftest

#endif
