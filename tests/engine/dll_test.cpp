// The engine as the host sees it: a module with two entry points and a
// template object reached through its table of operations.
#include <gtest/gtest.h>

#include <cstring>

#include "config.h"
#include "fpsynth/fpsynth.h"
#include "platform/modules.h"
#include "record_reader.h"

namespace {

using Config = omx::TOmExtractorConfiguration;
using GetDefaultConfigFn = void (*)(void*);
using ExtractFn = void* (*)(const uint8_t*, uint32_t, uint32_t, uint32_t, void*, uint16_t, uint16_t*);
using ReleaseFn = void (*)(void*);
using ExportFn = int32_t (*)(void*, uint8_t*, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, bool, bool);

class EngineModule : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string exe = plat::MainModulePath();
    std::string dir = exe.substr(0, exe.find_last_of("/\\") + 1);
    module_ = plat::LoadModule(dir + "OmExtract" + plat::ModuleSuffix(), true);
    ASSERT_NE(module_, nullptr) << dir;
    defaults_ = reinterpret_cast<GetDefaultConfigFn>(plat::GetSymbol(module_, "GetDefaultConfig"));
    extract_ = reinterpret_cast<ExtractFn>(plat::GetSymbol(module_, "ExtractMinutiae"));
    ASSERT_NE(defaults_, nullptr);
    ASSERT_NE(extract_, nullptr);
  }
  static void** Table(void* object) { return *static_cast<void***>(object); }
  std::vector<uint8_t> Export(void* t, int32_t w, int32_t h, int32_t format, int32_t size) {
    auto exp = reinterpret_cast<ExportFn>(Table(t)[3]);
    int32_t n = exp(t, nullptr, w, h, 500, 500, format, size, true, true);
    EXPECT_GT(n, 26);
    std::vector<uint8_t> buf(static_cast<size_t>(n) + 16, 0xEE);
    EXPECT_EQ(exp(t, buf.data(), w, h, 500, 500, format, size, true, true), n);
    for (size_t i = static_cast<size_t>(n); i < buf.size(); ++i) EXPECT_EQ(buf[i], 0xEE) << "wrote past the size it gave";
    buf.resize(static_cast<size_t>(n));
    return buf;
  }
  plat::ModuleHandle module_ = nullptr;
  GetDefaultConfigFn defaults_ = nullptr;
  ExtractFn extract_ = nullptr;
};

TEST_F(EngineModule, ExtractsAndExportsThroughTheOperationTable) {
  Config cfg;
  std::memset(&cfg, 0xAB, sizeof cfg);
  defaults_(&cfg);
  EXPECT_TRUE(cfg.EliminarMinucias);
  EXPECT_GT(cfg.SigmaGabor, 0);
  EXPECT_EQ(cfg.LimiarAlfa, 0);

  fpsynth::Params p;
  p.width = 388;
  p.height = 374;
  auto fp = fpsynth::Generate(p, 77);
  std::vector<uint16_t> work(fp.pixels.size());
  void* t = extract_(fp.pixels.data(), 388, 374, 500, &cfg, 0, work.data());
  ASSERT_NE(t, nullptr);
  // Entries 1 and 2 exist and do nothing.
  reinterpret_cast<ReleaseFn>(Table(t)[1])(t);
  reinterpret_cast<ReleaseFn>(Table(t)[2])(t);
  auto rec = Export(t, 388, 374, 2, 3);
  auto r = testrec::Read(rec);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->end, rec.size());
  EXPECT_EQ(r->flags, 7);
  EXPECT_GT(r->minutiae.size(), 15u);
  for (const auto& m : r->minutiae) {
    EXPECT_LT(m.x, 388);
    EXPECT_LT(m.y, 374);
    EXPECT_LE(m.type, 1);
    EXPECT_LE(m.quality, 100);
  }
  auto small = testrec::Read(Export(t, 388, 374, 0, 0));
  ASSERT_TRUE(small);
  EXPECT_EQ(small->flags, 0);
  EXPECT_LE(small->minutiae.size(), 32u);
  reinterpret_cast<ReleaseFn>(Table(t)[0])(t);
}

TEST_F(EngineModule, RefusesUnusableArgumentsWithNull) {
  Config cfg;
  defaults_(&cfg);
  std::vector<uint16_t> work(16);
  std::vector<uint8_t> px(16, 200);
  EXPECT_EQ(extract_(nullptr, 4, 4, 500, &cfg, 0, work.data()), nullptr);
  EXPECT_EQ(extract_(px.data(), 0, 0, 500, &cfg, 0, work.data()), nullptr);
  EXPECT_EQ(extract_(px.data(), 5000, 1, 500, &cfg, 0, work.data()), nullptr);
  // A tiny blank picture is usable: a record without minutiae.
  void* t = extract_(px.data(), 4, 4, 500, &cfg, 0xFFFF, work.data());
  ASSERT_NE(t, nullptr);
  auto r = testrec::Read(Export(t, 4, 4, 2, 3));
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->minutiae.empty());
  reinterpret_cast<ReleaseFn>(Table(t)[0])(t);
}

TEST_F(EngineModule, OnlyEntryPointsThatWorkAreExported) {
  for (const char* name : {"MatchMinutiae", "TestBinarize", "Generalize", "IdentifyBegin"})
    EXPECT_EQ(plat::GetSymbol(module_, name), nullptr) << name;
}

}  // namespace
