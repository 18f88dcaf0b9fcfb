#include "pstwriter.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace pstwriter {

namespace {

std::uint64_t splitMix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

class BytesReader : public Content::Reader {
public:
    explicit BytesReader(std::shared_ptr<const std::string> data) : m_data(std::move(data)) {}
    std::size_t read(char *buffer, std::size_t max) override {
        if (!m_data)
            return 0;
        const std::size_t n = std::min(max, m_data->size() - m_pos);
        std::memcpy(buffer, m_data->data() + m_pos, n);
        m_pos += n;
        return n;
    }

private:
    std::shared_ptr<const std::string> m_data;
    std::size_t m_pos = 0;
};

class GeneratedReader : public Content::Reader {
public:
    GeneratedReader(std::uint64_t size, std::uint32_t seed) : m_size(size), m_seed(seed) {}
    std::size_t read(char *buffer, std::size_t max) override {
        const std::size_t n = std::size_t(std::min<std::uint64_t>(max, m_size - m_pos));
        for (std::size_t i = 0; i < n; ++i, ++m_pos) {
            const std::uint64_t word = splitMix((std::uint64_t(m_seed) << 40) ^ (m_pos / 8));
            buffer[i] = char(word >> (8 * (m_pos % 8)));
        }
        return n;
    }

private:
    std::uint64_t m_size;
    std::uint32_t m_seed;
    std::uint64_t m_pos = 0;
};

class FileReader : public Content::Reader {
public:
    explicit FileReader(const std::string &path) : m_in(path, std::ios::binary) {
        if (!m_in)
            throw std::runtime_error("pstwriter: cannot read " + path);
    }
    std::size_t read(char *buffer, std::size_t max) override {
        m_in.read(buffer, std::streamsize(max));
        return std::size_t(m_in.gcount());
    }

private:
    std::ifstream m_in;
};

}  // namespace

Content::Content() = default;

Content Content::bytes(std::string data) {
    Content c;
    c.m_kind = Kind::Bytes;
    c.m_size = data.size();
    c.m_bytes = std::make_shared<const std::string>(std::move(data));
    return c;
}

Content Content::generated(std::uint64_t size, std::uint32_t seed) {
    Content c;
    c.m_kind = Kind::Generated;
    c.m_size = size;
    c.m_seed = seed;
    return c;
}

Content Content::file(const std::string &path) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::is_regular_file(status))
        throw std::runtime_error("pstwriter: no such file " + path);
    std::ifstream probe(path, std::ios::binary);
    if (!probe)
        throw std::runtime_error("pstwriter: cannot read " + path);
    Content c;
    c.m_kind = Kind::File;
    c.m_path = path;
    c.m_size = std::filesystem::file_size(path);
    return c;
}

std::unique_ptr<Content::Reader> Content::open() const {
    switch (m_kind) {
    case Kind::Generated:
        return std::make_unique<GeneratedReader>(m_size, m_seed);
    case Kind::File:
        return std::make_unique<FileReader>(m_path);
    case Kind::Bytes:
        break;
    }
    return std::make_unique<BytesReader>(m_bytes);
}

std::string Content::readAll() const {
    if (m_kind == Kind::Bytes)
        return m_bytes ? *m_bytes : std::string();
    std::string out(std::size_t(m_size), '\0');
    auto reader = open();
    std::size_t at = 0;
    while (at < out.size()) {
        const std::size_t n = reader->read(out.data() + at, out.size() - at);
        if (n == 0)
            break;
        at += n;
    }
    out.resize(at);
    return out;
}

}  // namespace pstwriter
