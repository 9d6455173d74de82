#include "PackagePass.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "Minisign.h"
#include "PackageImage.h"

namespace PackagePass {

namespace {

const qint64 blockSize = qint64(8) << 20;

// The spans' digests, fed block by block in the order of the file.
class SpanHashes
{
public:
    explicit SpanHashes(const QVector<PackageManifest::Span> &spans)
        : m_spans(spans)
        , m_hashes(size_t(spans.size()))
        , m_order(size_t(spans.size()))
    {
        for (size_t i = 0; i < m_order.size(); ++i) {
            m_order[i] = int(i);
            m_hashes[i].reset(new PackageManifest::Sha256);
        }
        std::sort(m_order.begin(), m_order.end(),
            [&spans](int a, int b) { return spans.at(a).offset < spans.at(b).offset; });
    }

    // The bytes of [start, start + size) of the file, in order.
    void add(qint64 start, const char *block, qint64 size)
    {
        const qint64 end = start + size;
        for (size_t i = m_first; i < m_order.size(); ++i) {
            const PackageManifest::Span &span = m_spans.at(m_order[i]);
            if (span.offset >= end)
                break;
            const qint64 from = std::max(span.offset, start);
            const qint64 to = std::min(span.offset + span.size, end);
            if (from < to)
                m_hashes[size_t(m_order[i])]->add(block + (from - start), to - from);
        }
        while (m_first < m_order.size() && endOf(m_first) <= end)
            ++m_first;
    }

    QVector<QByteArray> results()
    {
        QVector<QByteArray> digests;
        for (auto &hash : m_hashes)
            digests.append(hash->result());
        return digests;
    }

    // Where reading may start and stop to see every span.
    qint64 begin() const { return m_order.empty() ? 0 : m_spans.at(m_order.front()).offset; }
    qint64 end() const
    {
        qint64 last = 0;
        for (const PackageManifest::Span &span : m_spans)
            last = std::max(last, span.offset + span.size);
        return last;
    }

private:
    qint64 endOf(size_t i) const
    {
        const PackageManifest::Span &span = m_spans.at(m_order[i]);
        return span.offset + span.size;
    }

    const QVector<PackageManifest::Span> &m_spans;
    std::vector<std::unique_ptr<PackageManifest::Sha256>> m_hashes;
    std::vector<int> m_order;
    size_t m_first = 0;
};

// Runs work on a thread of its own; on none to be had, here and now.
std::thread beside(const std::function<void()> &work)
{
    try {
        return std::thread(work);
    } catch (const std::system_error &) {
        work();
        return std::thread();
    }
}

} // namespace

bool run(const PackageImage &image, const QVector<PackageManifest::Span> &spans, bool prehash,
    Digests *digests, QString *error)
{
    SpanHashes hashes(spans);
    Minisign::Prehasher whole;
    const qint64 begin = prehash ? 0 : hashes.begin();
    const qint64 end = prehash ? image.size() : hashes.end();
    std::unique_ptr<char[]> blocks[2] = { std::unique_ptr<char[]>(new char[size_t(blockSize)]),
        std::unique_ptr<char[]>(new char[size_t(blockSize)]) };
    int current = 0;
    qint64 length = std::min(blockSize, end - begin);
    if (length > 0 && !image.read(begin, blocks[current].get(), length, error))
        return false;
    for (qint64 at = begin; at < end;) {
        const char *block = blocks[current].get();
        std::thread blake;
        if (prehash)
            blake = beside([&whole, block, length] { whole.add(block, length); });
        hashes.add(at, block, length);
        const qint64 next = at + length;
        const qint64 nextLength = std::min(blockSize, end - next);
        const bool read
            = nextLength <= 0 || image.read(next, blocks[1 - current].get(), nextLength, error);
        if (blake.joinable())
            blake.join();
        if (!read)
            return false;
        at = next;
        length = nextLength;
        current = 1 - current;
    }
    digests->spans = hashes.results();
    if (prehash)
        digests->prehash = whole.result();
    return true;
}

} // namespace PackagePass
