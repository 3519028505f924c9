#include "files/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <utility>

#include "files/fd_io.h"
#include "files/forcing_record.h"
#include "files/line_reader.h"
#include "files/numbers.h"
#include "files/restart_files.h"

namespace kelmora {

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
    block_ = std::move(other.block_);
    record_start_ = other.record_start_;
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
    // Not blocking: a pipe in the file's place must not hang the run.
    fd_ = ::open(path.c_str(),
                 O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK,
                 0666);
    if (fd_ < 0) return open_failure;
    struct stat st {};
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        close();
        return open_failure;
    }
    fcntl(fd_, F_SETFL, O_APPEND);
    block_.reserve(kBlockSize + 4096);
    return {};
}

Failure OutputFile::start() {
    if (fd_ < 0 || !cut_to(fd_, 0) || !write_all(fd_, headers_)) return "Failed to write " + path_;
    written_ = complete_ = headers_.size();
    block_.clear();
    record_start_ = 0;
    finite_ = true;
    return {};
}

void OutputFile::begin_line(const ForcingRecord& record) {
    char buf[48];
    char* p = std::to_chars(buf, buf + 12, record.day).ptr;
    *p++ = ',';
    *p++ = ' ';
    p = std::to_chars(p, p + 12, record.hour).ptr;
    *p++ = ',';
    *p++ = ' ';
    p = std::to_chars(p, p + 12, record.minute).ptr;
    block_.append(buf, p);
}

void OutputFile::value(double v) {
    char buf[40];
    buf[0] = ',';
    buf[1] = ' ';
    block_.append(buf, format_real(buf + 2, v));
    finite_ = finite_ && std::isfinite(v);
}

void OutputFile::write_means(const ForcingRecord& record, std::initializer_list<double*> sums) {
    begin_line(record);
    const double n = record.substeps;
    for (double* sum : sums) mean(*sum, n);
    end_line();
}

void OutputFile::keep_record() {
    record_start_ = block_.size();
    finite_ = true;
}

void OutputFile::drop_record() {
    block_.resize(record_start_);
    finite_ = true;
}

Failure OutputFile::write_block() {
    const std::string_view whole(block_.data(), record_start_);
    if (whole.empty()) return {};  // a file the run does not write (no shrubs)
    if (fd_ < 0 || !write_all(fd_, whole)) return "Failed to write " + path_;
    written_ += whole.size();
    block_.erase(0, record_start_);
    record_start_ = 0;
    return {};
}

void OutputFile::cut_back() {
    if (fd_ >= 0) cut_to(fd_, complete_);
    close();
    block_.clear();
    record_start_ = 0;
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
    return whole_real(word);
}

}  // namespace

std::optional<std::vector<double>> Restart::last_line(const std::string& path, size_t count) const {
    const std::vector<std::string> words = files_ ? files_->words(path) : read_last_line(path);
    if (count < 3 || words.size() != count) return {};
    std::vector<double> values;
    for (const std::string& word : words) {
        const std::optional<double> v = whole_number(word);
        if (!v) return {};
        values.push_back(*v);
    }
    return values;
}

}  // namespace kelmora
