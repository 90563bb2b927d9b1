// A progress line on a terminal, for the long loops of kernel_search and kernel_lab.
#ifndef SEARCH_PROGRESS_H
#define SEARCH_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <cstdio>

// "attempt 1200 of 100000, 45000 per second, best score 3964" (with the loop's own word for a step):
// redrawn at most ten times a second, cleared before anything else is printed and at the end. Off
// (`on` false) it prints nothing, as where the stream is not a terminal.
class Progress {
public:
    Progress(std::FILE* err, bool on, const char* step, int total) : err_(err), on_(on), step_(step), total_(total) {}

    void Update(int done, std::uint64_t best) {
        if (!on_) return;
        const auto now = std::chrono::steady_clock::now();
        if (shown_ && now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        shown_ = true;
        const double seconds = std::chrono::duration<double>(now - start_).count();
        std::fprintf(err_, "\r\033[K%s %d of %d, %.0f per second, best score %llu", step_, done, total_,
                     seconds > 0 ? done / seconds : 0.0, static_cast<unsigned long long>(best));
        std::fflush(err_);
    }

    void Clear() {
        if (!shown_) return;
        std::fprintf(err_, "\r\033[K");
        std::fflush(err_);
        shown_ = false;
    }

private:
    std::FILE* err_;
    bool on_;
    const char* step_;
    int total_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point last_ = start_;
};

#endif  // SEARCH_PROGRESS_H
