#include "zip_memory.h"

#include <algorithm>
#include <cstring>

namespace simio::zipio {

namespace {

// minizip seeks back with a negative offset passed as unsigned: the sum wraps to the right place.
long Seek(ZPOS64_T &pos, ZPOS64_T size, ZPOS64_T offset, int origin) {
    ZPOS64_T base = origin == ZLIB_FILEFUNC_SEEK_SET   ? 0
                    : origin == ZLIB_FILEFUNC_SEEK_CUR ? pos
                                                       : size;
    ZPOS64_T target = base + offset;
    if (target > size) return -1;
    pos = target;
    return 0;
}

voidpf ZCALLBACK Open(voidpf opaque, const void *, int) {
    return opaque;
}
int ZCALLBACK Close(voidpf, voidpf) {
    return 0;
}
int ZCALLBACK NoError(voidpf, voidpf) {
    return 0;
}

uLong ZCALLBACK Read(voidpf, voidpf stream, void *buf, uLong size) {
    auto *r = static_cast<MemoryReader *>(stream);
    ZPOS64_T n = std::min<ZPOS64_T>(size, r->bytes.size() - r->pos);
    std::memcpy(buf, r->bytes.data() + r->pos, static_cast<std::size_t>(n));
    r->pos += n;
    return static_cast<uLong>(n);
}

uLong ZCALLBACK NoWrite(voidpf, voidpf, const void *, uLong) {
    return 0;
}
ZPOS64_T ZCALLBACK ReadTell(voidpf, voidpf stream) {
    return static_cast<MemoryReader *>(stream)->pos;
}

long ZCALLBACK ReadSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    auto *r = static_cast<MemoryReader *>(stream);
    return Seek(r->pos, r->bytes.size(), offset, origin);
}

uLong ZCALLBACK NoRead(voidpf, voidpf, void *, uLong) {
    return 0;
}

// zip.c goes back to fill in each local header, so a write may land inside what is there.
uLong ZCALLBACK Write(voidpf, voidpf stream, const void *buf, uLong size) {
    auto *w = static_cast<MemoryWriter *>(stream);
    std::size_t at = static_cast<std::size_t>(w->pos);
    if (at + size > w->bytes->size()) w->bytes->resize(at + size);
    std::memcpy(w->bytes->data() + at, buf, size);
    w->pos += size;
    return size;
}

ZPOS64_T ZCALLBACK WriteTell(voidpf, voidpf stream) {
    return static_cast<MemoryWriter *>(stream)->pos;
}

long ZCALLBACK WriteSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    auto *w = static_cast<MemoryWriter *>(stream);
    return Seek(w->pos, w->bytes->size(), offset, origin);
}

} // namespace

zlib_filefunc64_def ReadFunctions(MemoryReader &reader) {
    return {Open, Read, NoWrite, ReadTell, ReadSeek, Close, NoError, &reader};
}

zlib_filefunc64_def WriteFunctions(MemoryWriter &writer) {
    return {Open, NoRead, Write, WriteTell, WriteSeek, Close, NoError, &writer};
}

} // namespace simio::zipio
