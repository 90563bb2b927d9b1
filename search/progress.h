// A progress line on a terminal, for the long loops of kernel_search and kernel_lab.
#ifndef SEARCH_PROGRESS_H
#define SEARCH_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <cstdio>

// "attempt 1200 of 100000, 45000 per second, 0:03 gone, 0:40 left, best score 3964 of 4032" (with the
// loop's own word for a step): redrawn at most ten times a second, cleared before anything else is
// printed and at the end. Off (`on` false) it prints nothing, as where the stream is not a terminal.
class Progress {
public:
    Progress(std::FILE* err, bool on, const char* step, int total, std::uint64_t max_score)
        : err_(err), on_(on), step_(step), total_(total), max_score_(max_score) {}

    void Update(int done, std::uint64_t best) {
        if (!on_) return;
        const auto now = std::chrono::steady_clock::now();
        if (shown_ && now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        shown_ = true;
        const double seconds = std::chrono::duration<double>(now - start_).count();
        const double rate = seconds > 0 ? done / seconds : 0.0;
        const double left = rate > 0 ? (total_ - done) / rate : 0.0;
        char gone_text[32], left_text[32];
        std::fprintf(err_, "\r\033[K%s %d of %d, %.0f per second, %s gone, %s left, best score %llu of %llu", step_,
                     done, total_, rate, Clock(seconds, gone_text), Clock(left, left_text),
                     static_cast<unsigned long long>(best), static_cast<unsigned long long>(max_score_));
        std::fflush(err_);
    }

    void Clear() {
        if (!shown_) return;
        std::fprintf(err_, "\r\033[K");
        std::fflush(err_);
        shown_ = false;
    }

private:
    // Seconds as m:ss, or h:mm:ss from an hour on.
    static const char* Clock(double seconds, char (&text)[32]) {
        const auto s = static_cast<long long>(seconds + 0.5);
        if (s >= 3600) {
            std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
        } else {
            std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
        }
        return text;
    }

    std::FILE* err_;
    bool on_;
    const char* step_;
    int total_;
    std::uint64_t max_score_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point last_ = start_;
};

#endif  // SEARCH_PROGRESS_H
