#include "core/panic.hpp"

#include <execinfo.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zan {
namespace {

// Paths relative to the source tree read better than the build machine's absolute ones.
const char* short_path(const char* file) {
    const char* p = std::strstr(file, "src/");
    return p != nullptr ? p : file;
}

bool backtrace_requested() {
    const char* v = std::getenv("ZAN_BACKTRACE");
    return v != nullptr && *v != '\0' && std::strcmp(v, "0") != 0;
}

}  // namespace

void report_fault(const std::string& message, const char* file, unsigned line, unsigned column) noexcept {
    char name[64] = {0};
    if (pthread_getname_np(pthread_self(), name, sizeof(name)) != 0 || name[0] == '\0')
        std::strcpy(name, "<unnamed>");
    std::fprintf(stderr, "\nthread '%s' (%ld) panicked at %s:%u:%u:\n%s\n", name,
                 static_cast<long>(gettid()), short_path(file), line, column, message.c_str());
    if (backtrace_requested()) {
        void* frames[64];
        int n = backtrace(frames, 64);
        std::fputs("stack backtrace:\n", stderr);
        std::fflush(stderr);
        backtrace_symbols_fd(frames, n, fileno(stderr));
    } else {
        std::fputs("note: run with `ZAN_BACKTRACE=1` environment variable to display a backtrace\n", stderr);
    }
    std::fflush(stderr);
}

void panic(const std::string& message, std::source_location where) {
    report_fault(message, where.file_name(), where.line(), where.column());
    throw Panic(message);
}

std::string index_out_of_bounds(std::size_t len, std::size_t index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
           std::to_string(index);
}

}  // namespace zan
