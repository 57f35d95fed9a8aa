// Inflaters side by side on the body of a BIRD file holding a 4 MiB
// firmware image: zlib's streaming inflate (the reference), ISA-L's
// streaming isal_inflate, the updater's DeflateDecoder alone and within
// BirdInflater (with the zlib header and the Adler-32 trailer, checked by
// ISA-L's routine where built with it; all fed 16 KiB at a time, as a
// download arrives), BirdInflater expanding in place as a package loads,
// and libdeflate's whole-buffer zlib decompressor. Each
// must give the same bytes; their times are reported beside zlib's,
// measured in the same run.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <zlib.h>

#include "store/BirdExpander.h"
#include "store/DeflateDecoder.h"

namespace {

const size_t kImageSize = 4u << 20;
const size_t kChunk = 16u << 10;

struct Body {
  std::vector<uint8_t> plain;
  std::vector<uint8_t> packed;
};

// Code-like content, as the download benchmark serves.
const Body& TheBody() {
  static const Body body = [] {
    Body b;
    b.plain.resize(kImageSize);
    std::mt19937 rng(7);
    for (size_t i = 0; i < b.plain.size(); i += 16) {
      const uint32_t op = rng() % 16;
      for (size_t k = 0; k < 16; ++k) b.plain[i + k] = op < 6 ? uint8_t(rng()) : uint8_t(op * 17);
    }
    uLongf size = compressBound(uLong(b.plain.size()));
    b.packed.resize(size);
    compress2(b.packed.data(), &size, b.plain.data(), uLong(b.plain.size()), 6);
    b.packed.resize(size);
    return b;
  }();
  return body;
}

void Check(benchmark::State& state, const std::vector<uint8_t>& out) {
  if (out != TheBody().plain) state.SkipWithError("inflated bytes differ");
}

void BM_ZlibStreaming(benchmark::State& state) {
  const Body& body = TheBody();
  std::vector<uint8_t> out(body.plain.size());
  for (auto _ : state) {
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    inflateInit(&zs);
    zs.next_out = out.data();
    zs.avail_out = uInt(out.size());
    int ret = Z_OK;
    for (size_t at = 0; at < body.packed.size() && ret == Z_OK; at += kChunk) {
      zs.next_in = const_cast<uint8_t*>(body.packed.data() + at);
      zs.avail_in = uInt(std::min(kChunk, body.packed.size() - at));
      ret = inflate(&zs, Z_NO_FLUSH);
    }
    inflateEnd(&zs);
    if (ret != Z_STREAM_END) state.SkipWithError("zlib failed");
  }
  Check(state, out);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(body.plain.size()));
}
BENCHMARK(BM_ZlibStreaming)->Unit(benchmark::kMillisecond);

void BM_IsalStreaming(benchmark::State& state) {
  const Body& body = TheBody();
  std::vector<uint8_t> out(body.plain.size());
  inflate_state is;
  for (auto _ : state) {
    isal_inflate_init(&is);
    is.crc_flag = ISAL_ZLIB;  // parses the header, verifies the Adler-32 trailer
    is.next_out = out.data();
    is.avail_out = uint32_t(out.size());
    int ret = ISAL_DECOMP_OK;
    for (size_t at = 0; at < body.packed.size() && ret == ISAL_DECOMP_OK; at += kChunk) {
      is.next_in = const_cast<uint8_t*>(body.packed.data() + at);
      is.avail_in = uint32_t(std::min(kChunk, body.packed.size() - at));
      ret = isal_inflate(&is);
    }
    if (ret != ISAL_DECOMP_OK || is.block_state != ISAL_BLOCK_FINISH) {
      state.SkipWithError("ISA-L failed");
    }
  }
  Check(state, out);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(body.plain.size()));
}
BENCHMARK(BM_IsalStreaming)->Unit(benchmark::kMillisecond);

void BM_DeflateDecoder(benchmark::State& state) {
  const Body& body = TheBody();
  std::vector<uint8_t> out(body.plain.size());
  for (auto _ : state) {
    DeflateDecoder decoder;
    size_t made = 0;
    DeflateDecoder::Result result = DeflateDecoder::Result::NeedInput;
    for (size_t at = 2; at < body.packed.size() && result == DeflateDecoder::Result::NeedInput;
         at += kChunk) {
      const uint8_t* in = body.packed.data() + at;
      size_t left = std::min(kChunk, body.packed.size() - at);
      do {
        const uint8_t* bytes = nullptr;
        size_t produced = 0;
        result = decoder.Next(&in, &left, out.size() - made, &bytes, &produced);
        std::memcpy(out.data() + made, bytes, produced);
        made += produced;
      } while (result == DeflateDecoder::Result::OutputFull);
    }
    if (result != DeflateDecoder::Result::End || made != out.size()) {
      state.SkipWithError("DeflateDecoder failed");
    }
  }
  Check(state, out);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(body.plain.size()));
}
BENCHMARK(BM_DeflateDecoder)->Unit(benchmark::kMillisecond);

// Gives a fresh inflater the packed body kChunk bytes at a time; expand
// takes out what each piece brings (made: the bytes out so far) and says
// where the stream stands. Whether it ended with the whole body out.
template <typename ExpandPiece>
bool InflateInChunks(const Body& body, ExpandPiece expand) {
  BirdInflater inflater;
  size_t made = 0;
  BirdInflater::Status status = BirdInflater::Status::NeedInput;
  for (size_t at = 0; at < body.packed.size() && status == BirdInflater::Status::NeedInput;
       at += kChunk) {
    inflater.SetInput(body.packed.data() + at, std::min(kChunk, body.packed.size() - at));
    status = expand(inflater, made);
  }
  return status == BirdInflater::Status::End && made == body.plain.size();
}

void BM_BirdInflater(benchmark::State& state) {
  const Body& body = TheBody();
  std::vector<uint8_t> out(body.plain.size());
  for (auto _ : state) {
    const bool whole = InflateInChunks(body, [&](BirdInflater& inflater, size_t& made) {
      size_t produced = 0;
      const BirdInflater::Status status =
          inflater.Expand(out.data() + made, out.size() - made, &produced);
      made += produced;
      return status;
    });
    if (!whole) state.SkipWithError("BirdInflater failed");
  }
  Check(state, out);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(body.plain.size()));
  state.SetLabel(std::string("checksum by ") + BirdInflater::ChecksumRoutine());
}
BENCHMARK(BM_BirdInflater)->Unit(benchmark::kMillisecond);

// The same in place, as loading a package expands its body: straight into
// the output buffer (with the room the decoder may write past its stop),
// 128 KiB at a time, no window between.
void BM_BirdInflaterInPlace(benchmark::State& state) {
  const Body& body = TheBody();
  std::vector<uint8_t> room(body.plain.size() + DeflateDecoder::kInPlaceMargin);
  const size_t kStep = 128u << 10;
  for (auto _ : state) {
    const bool whole = InflateInChunks(body, [&](BirdInflater& inflater, size_t& made) {
      BirdInflater::Status status;
      do {
        const size_t stop = std::min(made + kStep, body.plain.size());
        status = inflater.ExpandInPlace(room.data(), &made, stop);
      } while (status == BirdInflater::Status::OutputFull && made <= body.plain.size());
      return status;
    });
    if (!whole) state.SkipWithError("BirdInflater in place failed");
  }
  Check(state, std::vector<uint8_t>(room.begin(), room.begin() + body.plain.size()));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(body.plain.size()));
}
BENCHMARK(BM_BirdInflaterInPlace)->Unit(benchmark::kMillisecond);

void BM_LibdeflateWhole(benchmark::State& state) {
  const Body& body = TheBody();
  std::vector<uint8_t> out(body.plain.size());
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  for (auto _ : state) {
    size_t produced = 0;
    if (libdeflate_zlib_decompress(d, body.packed.data(), body.packed.size(), out.data(),
                                   out.size(), &produced) != LIBDEFLATE_SUCCESS ||
        produced != out.size()) {
      state.SkipWithError("libdeflate failed");
    }
  }
  libdeflate_free_decompressor(d);
  Check(state, out);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(body.plain.size()));
}
BENCHMARK(BM_LibdeflateWhole)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
