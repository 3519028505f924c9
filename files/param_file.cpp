#include "files/param_file.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "files/fd_io.h"
#include "files/line_reader.h"
#include "files/numbers.h"

namespace kelmora {

bool Range::contains(double v) const {
    if (!checked) return true;
    if (!std::isfinite(v)) return false;
    const double s = scale ? *scale : 1.0;
    const double l = lo * s;
    const double h = hi * s;
    const bool above = lo_inclusive ? v >= l : v > l;
    const bool below = hi_inclusive ? v <= h : v < h;
    return above && below;
}

namespace {

std::string open_failure(const std::string& path, const ParamFile& file) {
    return "Failed to open " + path + (file.full_stop_on_failure ? "." : "");
}

std::string bad_value(const std::string& path, std::string_view message) {
    return path + std::string(message);
}

// Stores the value of a plain key and checks it; false on a bad value. A value
// must be one whole number; a whole-number key takes its integer part.
bool store_plain(const ParamKey& key, std::string_view word) {
    if (int32_t* const* field = std::get_if<int32_t*>(&key.field)) {
        const std::optional<int32_t> v = whole_int(word);
        if (!v) return false;
        **field = *v;
        return key.range.contains(**field);
    }
    const std::optional<double> v = whole_real(word);
    if (!v) return false;
    double* field = std::get<double*>(key.field);
    *field = *v + key.offset;
    return key.range.contains(*field);
}

bool store_numbered(const NumberedKey& key, std::string_view word, std::string_view value) {
    const size_t at = word.find(key.base);
    const int32_t number = leading_int(word.substr(at + key.base.size()));
    const std::optional<double> v = whole_real(value);
    if (number < key.first || number > key.last || !v) return false;
    double& slot = key.values[number - key.first];
    slot = *v;
    return key.range.contains(slot);
}

bool store_list(const ListKey& key, std::string_view value) {
    const std::optional<double> v = whole_real(value);
    if (key.list->size() >= key.max_count || !v) return false;
    key.list->push_back(*v);
    return key.range.contains(key.list->back());
}

// Interprets one line; the failure of a bad value.
Failure read_line(const std::string& path, const ParamFile& file,
                  const std::vector<std::string_view>& words) {
    if (words.size() < 2) return {};
    const std::string_view key = words[0];
    for (const ParamKey& k : file.keys) {
        if (k.name != key) continue;
        if (store_plain(k, words[1])) return {};
        if (!k.message.empty()) return bad_value(path, k.message);
        return path + ": Bad " + std::string(k.name) + " value.";
    }
    if (file.numbered && key.find(file.numbered->base) != std::string_view::npos) {
        if (store_numbered(*file.numbered, key, words[1])) return {};
        return bad_value(path, file.numbered->message);
    }
    if (file.list && key.find(file.list->base) != std::string_view::npos) {
        if (store_list(*file.list, words[1])) return {};
        return bad_value(path, file.list->message);
    }
    return {};
}

void append_int(std::string& out, int64_t v) {
    char buf[24];
    out.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

void append_real(std::string& out, double v) {
    char buf[32];
    out.append(buf, format_real(buf, v));
}

void append_indexed(std::string& out, std::string_view base, int64_t number, std::string_view gap,
                    double value, std::string_view head, std::string_view tail) {
    out += base;
    append_int(out, number);
    out += gap;
    append_real(out, value);
    out += head;
    append_int(out, number);
    out += tail;
}

std::string file_text(const ParamFile& file) {
    std::string text(file.title);
    text += '\n';
    for (const ParamKey& k : file.keys) {
        text += k.name;
        if (!k.padding.empty()) {
            text += k.padding;
        } else {
            text.append(file.column > k.name.size() ? file.column - k.name.size() : 1, ' ');
        }
        if (int32_t* const* field = std::get_if<int32_t*>(&k.field)) {
            append_int(text, **field);
        } else {
            append_real(text, *std::get<double*>(k.field) - k.offset);
        }
        text += k.lead;
        text += "->";
        text += k.remark;
        text += '\n';
    }
    if (file.numbered) {
        const NumberedKey* n = &*file.numbered;
        for (int32_t i = n->first; i <= n->last; ++i) {
            append_indexed(text, n->base, i, n->gap, n->values[i - n->first], n->remark_head,
                           n->remark_tail);
        }
    }
    if (file.list) {
        const ListKey* l = &*file.list;
        const std::span<const double> values =
            l->list->empty() ? l->defaults : std::span<const double>(*l->list);
        for (size_t i = 0; i < values.size(); ++i) {
            append_indexed(text, l->base, static_cast<int64_t>(i + 1), l->gap, values[i],
                           l->remark_head, l->remark_tail);
        }
    }
    return text;
}

}  // namespace

Failure read_parameter_file(const std::string& path, const ParamFile& file) {
    LineReader in;
    if (!in.open(path, false)) {
        // Only a missing file is written with the defaults: a file that exists
        // but cannot be read (no read permission, a directory, a device) holds
        // the user's values or none at all.
        std::error_code ec;
        if (std::filesystem::exists(path, ec) || ec) return open_failure(path, file);
        if (Failure failure = write_parameter_file(path, file)) return failure;
        if (!in.open(path, false)) return open_failure(path, file);
    }
    std::string line;
    std::vector<std::string_view> words;
    bool first_line = true;
    while (in.next(line)) {
        const bool skip = first_line && file.skip_first_line;
        first_line = false;
        if (skip) continue;
        split_words(line, file.commas_as_blanks, words);
        if (Failure failure = read_line(path, file, words)) return failure;
    }
    if (!in.failure().empty()) return in.failure();
    return {};
}

Failure write_parameter_file(const std::string& path, const ParamFile& file) {
    // Written under a temporary name and renamed into place once whole, so that
    // a full disk or an interruption leaves no truncated file behind.
    std::string temp = path + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) return open_failure(path, file);
    const mode_t mask = umask(0);
    umask(mask);
    const std::string text = file_text(file);
    bool ok = fchmod(fd, 0666 & ~mask) == 0 && write_all(fd, text);
    ok = ::close(fd) == 0 && ok;
    ok = ok && std::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return open_failure(path, file);
    }
    return {};
}

}  // namespace kelmora
