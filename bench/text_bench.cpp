// Throughput of the markup converter and the form decoder beside memcpy.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "wiki/markup.h"
#include "wiki/pages.h"

namespace {

constexpr std::size_t kSmall = 64 * 1024;
constexpr std::size_t kLarge = 640 * 1024;

std::string repeatTo(const std::string& piece, std::size_t size) {
  std::string text;
  while (text.size() < size) {
    text += piece;
  }
  text.resize(size);
  return text;
}

std::string plainText(std::size_t size) {
  return repeatTo("The quick brown fox jumps over the lazy dog, again and again. ", size);
}
std::string specialText(std::size_t size) {
  return repeatTo("a & b < c\n&<\n", size);
}
std::string linkText(std::size_t size) {
  return repeatTo("see [Home] and [other-page_2] ", size);
}

void setThroughput(benchmark::State& state, std::size_t bytes) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void memcpyBaseline(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  const std::string source = plainText(size);
  std::vector<char> target(size);
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), size);
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  setThroughput(state, size);
}

template <std::string (*makeText)(std::size_t)>
void convertMarkupOf(benchmark::State& state) {
  const std::string text = makeText(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(convertMarkup(text));
  }
  setThroughput(state, text.size());
}

std::string formEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (const unsigned char byte : text) {
    if (std::isalnum(byte) != 0) {
      encoded.push_back(static_cast<char>(byte));
    } else if (byte == ' ') {
      encoded.push_back('+');
    } else {
      encoded += {'%', kHex[byte >> 4], kHex[byte & 15]};
    }
  }
  return encoded;
}

template <std::string (*makeText)(std::size_t)>
void decodeFormOf(benchmark::State& state) {
  std::string value = formEncode(makeText(static_cast<std::size_t>(state.range(0))));
  value.resize(static_cast<std::size_t>(state.range(0)));  // the encoded size is what arrives
  for (auto _ : state) {
    benchmark::DoNotOptimize(decodeFormValue(value.c_str()));
  }
  setThroughput(state, value.size());
}

BENCHMARK(memcpyBaseline)->Arg(kSmall)->Arg(kLarge);
BENCHMARK(convertMarkupOf<plainText>)->Name("convertMarkup/plain")->Arg(kSmall)->Arg(kLarge);
BENCHMARK(convertMarkupOf<specialText>)->Name("convertMarkup/special")->Arg(kSmall)->Arg(kLarge);
BENCHMARK(convertMarkupOf<linkText>)->Name("convertMarkup/links")->Arg(kSmall)->Arg(kLarge);
BENCHMARK(decodeFormOf<plainText>)->Name("decodeFormValue/plain")->Arg(kSmall)->Arg(kLarge);
BENCHMARK(decodeFormOf<specialText>)->Name("decodeFormValue/special")->Arg(kSmall)->Arg(kLarge);
BENCHMARK(decodeFormOf<linkText>)->Name("decodeFormValue/links")->Arg(kSmall)->Arg(kLarge);

}  // namespace

BENCHMARK_MAIN();
