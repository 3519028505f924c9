#include "run/output_file.h"

#include <charconv>
#include <cmath>
#include <filesystem>
#include <locale>

#include "run/forcing.h"
#include "run/line_reader.h"
#include "run/numbers.h"

namespace kelmora {

namespace fs = std::filesystem;

Failure OutputFile::create(const std::string& path, std::string_view headers,
                           std::string open_failure) {
    if (out_.is_open()) out_.close();
    out_.clear();
    path_ = path;
    headers_ = headers;
    // Appending leaves an earlier file whole until every output file is open.
    out_.open(path, std::ios::binary | std::ios::app);
    out_.imbue(std::locale::classic());
    line_.reserve(512);
    if (!out_.is_open()) return open_failure;
    return {};
}

Failure OutputFile::start() {
    std::error_code ec;
    if (fs::is_regular_file(path_, ec)) fs::resize_file(path_, 0, ec);
    out_.write(headers_.data(), static_cast<std::streamsize>(headers_.size()));
    out_.flush();
    if (ec || !out_) return "Failed to write " + path_;
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
    out_.write(waiting_.data(), static_cast<std::streamsize>(waiting_.size()));
    out_.flush();
    if (!out_) return "Failed to write " + path_;
    written_ += waiting_.size();
    waiting_.clear();
    return {};
}

void OutputFile::cut_back() {
    // Closed first: closing flushes what the stream still holds.
    out_.close();
    std::error_code ec;
    if (fs::is_regular_file(path_, ec)) fs::resize_file(path_, complete_, ec);
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
