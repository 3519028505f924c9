#include "files/restart_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "files/fd_io.h"
#include "files/line_reader.h"
#include "files/numbers.h"

namespace kelmora {

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

bool data_line(const std::string& line) {
    return !line.empty() && line[0] != '#' &&
           line.find_first_not_of(" \t\r\n\v\f") != std::string::npos;
}

// The day, hour and minute that start a data line ("185, 1, 0, ...").
std::optional<TimeStamp> line_stamp(const std::string& line) {
    std::vector<std::string_view> words;
    split_words(line, false, words);
    if (words.size() < 3) return std::nullopt;
    int32_t t[3];
    for (size_t i = 0; i < 3; ++i) {
        std::string_view w = words[i];
        if (w.ends_with(',')) w.remove_suffix(1);
        const std::optional<int32_t> v = whole_int(w);
        if (!v || *v != whole_real(w)) return std::nullopt;
        t[i] = *v;
    }
    return TimeStamp{t[0], t[1], t[2]};
}

std::string stamp_or_none(const std::optional<TimeStamp>& t) {
    return t ? stamp_text(*t) : std::string("no readable time");
}

}  // namespace

std::string part_path(const std::string& path, int n) {
    return path + "." + std::to_string(n);
}

bool holds_data(const std::string& path) {
    LineReader in;
    if (!in.open(path, false)) return false;
    std::string line;
    while (in.next(line)) {
        if (data_line(line)) return true;
    }
    return false;
}

Failure RestartFiles::read_part(const std::string& path, Part& part) {
    LineReader in;
    if (!in.open(path, false)) return "Failed to read " + path;
    part.path = path;
    std::string line;
    bool any = false;
    for (uint64_t start = 0; in.next(line); start = in.offset()) {
        if (!data_line(line)) {
            if (!any) part.head = in.offset();
            continue;
        }
        any = true;
        if (!in.ended()) {
            part.broken = true;
            continue;
        }
        part.starts.push_back(start);
        part.ends.push_back(in.offset());
        part.stamps.push_back(line_stamp(line));
    }
    if (!in.failure().empty()) return in.failure();
    return {};
}

Failure RestartFiles::read(const std::vector<std::string>& paths) {
    series_.clear();
    for (const std::string& path : paths) {
        Series s;
        s.path = path;
        std::vector<std::string> names;
        for (int n = 1; exists(part_path(path, n)); ++n) names.push_back(part_path(path, n));
        if (exists(path)) names.push_back(path);
        for (const std::string& name : names) {
            Part& part = s.parts.emplace_back();
            if (Failure failure = read_part(name, part)) return failure;
            s.records += part.ends.size();
        }
        series_.push_back(std::move(s));
    }
    common_ = series_.empty() ? 0 : series_.front().records;
    for (const Series& s : series_) common_ = std::min(common_, s.records);
    dropped_ = changed_ = 0;
    empty_.clear();
    if (common_ == 0) {
        for (const Series& s : series_) {
            if (s.records == 0 && empty_.empty()) empty_ = s.path;
        }
        return {};
    }
    for (const Series& s : series_) {
        if (s.records == common_) {
            const auto [p, j] = locate(s, common_);
            stamp_ = s.parts[p].stamps[j].value_or(TimeStamp{-1, -1, -1});
            break;
        }
    }
    for (const Series& s : series_) {
        const auto [p, j] = locate(s, common_);
        size_t beyond = s.records - common_;
        for (size_t q = p; q < s.parts.size(); ++q) beyond += s.parts[q].broken ? 1 : 0;
        dropped_ += beyond;
        changed_ += beyond > 0 ? 1 : 0;
    }
    return {};
}

std::pair<size_t, size_t> RestartFiles::locate(const Series& s, size_t k) {
    for (size_t p = 0; p < s.parts.size(); ++p) {
        const size_t n = s.parts[p].ends.size();
        if (k <= n && n > 0) return {p, k - 1};
        k -= n;
    }
    return {s.parts.size(), 0};
}

const RestartFiles::Series* RestartFiles::find(const std::string& path) const {
    for (const Series& s : series_) {
        if (s.path == path) return &s;
    }
    return nullptr;
}

std::vector<std::string> RestartFiles::words(const std::string& path) const {
    const Series* s = find(path);
    if (!s || s->records == 0) return {};
    const auto [p, j] = locate(*s, common_ > 0 ? common_ : s->records);
    const Part& part = s->parts[p];
    std::string text(part.ends[j] - part.starts[j], '\0');
    const int fd = ::open(part.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    const ssize_t n = pread(fd, text.data(), text.size(), static_cast<off_t>(part.starts[j]));
    ::close(fd);
    if (n != static_cast<ssize_t>(text.size())) return {};
    std::vector<std::string_view> words;
    split_words(text, false, words);
    return {words.begin(), words.end()};
}

Failure RestartFiles::check() const {
    for (const Series& s : series_) {
        const auto [p, j] = locate(s, common_);
        if (s.parts[p].stamps[j] == stamp_) continue;
        const Part* last = &s.parts[p];
        for (const Part& part : s.parts) last = part.ends.empty() ? last : &part;
        const std::optional<TimeStamp>& end = last->stamps.back();
        const Series* shortest = &*std::find_if(
            series_.begin(), series_.end(), [&](const Series& t) { return t.records == common_; });
        return "Restart files end at different times: " + last->path + " ends at " +
               stamp_or_none(end) + ", " + shortest->path + " at " + stamp_text(stamp_) + ".";
    }
    return {};
}

Failure RestartFiles::cut_back() const {
    for (const Series& s : series_) {
        const auto [p, j] = locate(s, common_);
        for (size_t q = p; q < s.parts.size(); ++q) {
            const Part& part = s.parts[q];
            const size_t keep = q == p ? j + 1 : 0;
            if (part.ends.size() <= keep && !part.broken) continue;
            const uint64_t size = keep > 0 ? part.ends[keep - 1] : part.head;
            const int fd = ::open(part.path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
            const bool ok = fd >= 0 && cut_to(fd, size);
            if (fd >= 0) ::close(fd);
            if (!ok) return "Failed to write " + part.path;
        }
    }
    return {};
}

}  // namespace kelmora
