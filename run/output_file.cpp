#include "run/output_file.h"

#include <charconv>
#include <locale>

#include "run/forcing.h"
#include "run/numbers.h"

namespace kelmora {

bool OutputFile::open(const std::string& path) {
    if (out_.is_open()) out_.close();
    out_.clear();
    path_ = path;
    out_.open(path, std::ios::binary | std::ios::trunc);
    out_.imbue(std::locale::classic());
    line_.reserve(512);
    return out_.is_open();
}

Failure OutputFile::create(const std::string& path, std::string_view headers,
                           std::string open_failure) {
    if (!open(path)) return open_failure;
    return header(headers);
}

Failure OutputFile::header(std::string_view text) {
    out_.write(text.data(), static_cast<std::streamsize>(text.size()));
    out_.flush();
    if (!out_) return "Failed to write " + path_;
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
}

Failure OutputFile::write_means(const ForcingRecord& record, std::initializer_list<double*> sums) {
    begin_line(record);
    const double n = record.substeps;
    for (double* sum : sums) mean(*sum, n);
    return end_line();
}

Failure OutputFile::end_line() {
    line_ += '\n';
    out_.write(line_.data(), static_cast<std::streamsize>(line_.size()));
    out_.flush();
    if (!out_) return "Failed to write " + path_;
    return {};
}

std::vector<std::string> read_last_line(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> last;
    if (!in) return last;
    std::string line;
    std::vector<std::string_view> words;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '#') continue;
        split_words(line, false, words);
        if (words.empty()) continue;
        last.assign(words.begin(), words.end());
    }
    return last;
}

double word_value(const std::vector<std::string>& words, size_t index) {
    return leading_real(words[index]);
}

}  // namespace kelmora
