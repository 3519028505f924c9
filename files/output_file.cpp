#include "files/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <utility>

#include "files/forcing_record.h"
#include "files/line_reader.h"
#include "files/numbers.h"

namespace kelmora {

namespace {

// Writes all of `data` to `fd`, resuming after interruptions and partial writes.
bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// Cuts the file open at `fd` to `size` bytes when it is a regular file (a
// device or a pipe has nothing to cut); false when that fails.
bool cut_to(int fd, uintmax_t size) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) return true;
    int status;
    do {
        status = ftruncate(fd, static_cast<off_t>(size));
    } while (status != 0 && errno == EINTR);
    return status == 0;
}

}  // namespace

OutputFile::~OutputFile() {
    close();
}

OutputFile::OutputFile(OutputFile&& other) noexcept {
    *this = std::move(other);
}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
    if (this == &other) return *this;
    close();
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
    headers_ = std::move(other.headers_);
    line_ = std::move(other.line_);
    waiting_ = std::move(other.waiting_);
    finite_ = other.finite_;
    written_ = other.written_;
    complete_ = other.complete_;
    return *this;
}

void OutputFile::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

Failure OutputFile::create(const std::string& path, std::string_view headers,
                           std::string open_failure) {
    close();
    path_ = path;
    headers_ = headers;
    // Appending leaves an earlier file whole until every output file is open.
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0666);
    line_.reserve(512);
    if (fd_ < 0) return open_failure;
    return {};
}

Failure OutputFile::start() {
    if (fd_ < 0 || !cut_to(fd_, 0) || !write_all(fd_, headers_)) return "Failed to write " + path_;
    written_ = complete_ = headers_.size();
    waiting_.clear();
    finite_ = true;
    return {};
}

void OutputFile::begin_line(const ForcingRecord& record) {
    char buf[48];
    line_.clear();
    for (int32_t v : {record.day, record.hour, record.minute}) {
        if (!line_.empty()) line_ += ", ";
        line_.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
    }
}

void OutputFile::value(double v) {
    char buf[32];
    line_ += ", ";
    line_.append(buf, format_real(buf, v));
    finite_ = finite_ && std::isfinite(v);
}

void OutputFile::write_means(const ForcingRecord& record, std::initializer_list<double*> sums) {
    begin_line(record);
    const double n = record.substeps;
    for (double* sum : sums) mean(*sum, n);
    end_line();
}

void OutputFile::end_line() {
    waiting_ += line_;
    waiting_ += '\n';
}

Failure OutputFile::write_record() {
    if (waiting_.empty()) return {};  // a file the run does not write (no shrubs)
    if (fd_ < 0 || !write_all(fd_, waiting_)) return "Failed to write " + path_;
    written_ += waiting_.size();
    waiting_.clear();
    return {};
}

void OutputFile::cut_back() {
    if (fd_ >= 0) cut_to(fd_, complete_);
    close();
}

std::vector<std::string> read_last_line(const std::string& path) {
    std::vector<std::string> last;
    LineReader in;
    if (!in.open(path, false)) return last;
    std::string line;
    std::vector<std::string_view> words;
    while (in.next(line)) {
        if (!line.empty() && line[0] == '#') continue;
        split_words(line, false, words);
        if (words.empty()) continue;
        last.assign(words.begin(), words.end());
    }
    if (!in.failure().empty()) last.clear();
    return last;
}

namespace {

// The value of a word that is one whole finite number, with or without the
// comma that separates it from the next.
std::optional<double> whole_number(std::string_view word) {
    if (word.ends_with(',')) word.remove_suffix(1);
    double v = 0;
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), v);
    if (word.empty() || ec != std::errc() || end != word.data() + word.size()) return {};
    if (!std::isfinite(v)) return {};
    return v;
}

}  // namespace

std::optional<std::vector<double>> Restart::last_line(const std::string& path, size_t count) {
    const std::vector<std::string> words = read_last_line(path);
    if (count < 3 || words.size() != count) return {};
    std::vector<double> values;
    for (const std::string& word : words) {
        const std::optional<double> v = whole_number(word);
        if (!v) return {};
        values.push_back(*v);
    }
    const std::vector<double> time(values.begin(), values.begin() + 3);
    if (!time_) time_ = time;
    aligned_ = aligned_ && time == *time_;
    return values;
}

}  // namespace kelmora
