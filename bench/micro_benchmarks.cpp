// Micro-benchmarks of the conversion's stages on a realistic project, so
// that a regression in one of them shows. Run: build/<preset>/bench/micro_benchmarks
#include <benchmark/benchmark.h>

#include <string>

#include "app/convert.h"
#include "projectfile/projectfile.h"
#include "rewrite/qualify.h"

namespace lstconvert {
namespace {

// A project of about 200 KB with 200 field names, a filter and nine sums.
std::string RealisticProject() {
  std::string fields, text = "[Project]\r\n  Version=21\r\n  TableID=\r\n  Source=[Table:]\r\n";
  for (int i = 0; i < 200; ++i) fields += (i ? ";Field" : "Field") + std::to_string(i);
  text += "  Fields=" + fields + "\r\n  Filter=Field1>0 AND FIELD7<>\"\" AND field42<Field199\r\n";
  for (int sum = 1; sum <= 9; ++sum) {
    text += "  Sum" + std::to_string(sum) + "=Field" + std::to_string(sum * 11) + "*Field3\r\n";
  }
  while (text.size() < 200000) text += "  Object=Text \"Field12\" at 100,200 font Arial;9\r\n";
  return text;
}

std::string Utf16(const std::string& text) {
  std::string bytes = "\xFF\xFE";
  for (const char c : text) {
    bytes.push_back(c);
    bytes.push_back('\0');
  }
  return bytes;
}

void DecodeEightBit(benchmark::State& state) {
  const std::string bytes = RealisticProject();
  for (auto _ : state) benchmark::DoNotOptimize(DecodeProjectFile(bytes));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(DecodeEightBit);

void DecodeUtf16(benchmark::State& state) {
  const std::string bytes = Utf16(RealisticProject());
  for (auto _ : state) benchmark::DoNotOptimize(DecodeProjectFile(bytes));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(DecodeUtf16);

void EncodeBoth(benchmark::State& state) {
  const ProjectText text = DecodeProjectFile(RealisticProject());
  const auto mode = state.range(0) ? EncodingMode::kUtf16Le : EncodingMode::kEightBit;
  for (auto _ : state) benchmark::DoNotOptimize(EncodeProjectFile(text.lines, mode));
}
BENCHMARK(EncodeBoth)->Arg(0)->Arg(1);

void TableBinding(benchmark::State& state) {
  const ProjectText text = DecodeProjectFile(RealisticProject());
  for (auto _ : state) {
    Lines lines = text.lines;
    ReplaceInFirstKeyLine(lines, u"TableID=", u"TableID=Partlist");
    ReplaceInFirstKeyLine(lines, u"[Table:]", u"[Table:Partlist]");
    benchmark::DoNotOptimize(lines);
  }
}
BENCHMARK(TableBinding);

void Qualification(benchmark::State& state) {
  const ProjectText text = DecodeProjectFile(RealisticProject());
  for (auto _ : state) {
    Lines lines = text.lines;
    for (const auto key : kDefinitionKeys) QualifyFieldReferences(lines, key);
    benchmark::DoNotOptimize(lines);
  }
}
BENCHMARK(Qualification);

}  // namespace
}  // namespace lstconvert

BENCHMARK_MAIN();
