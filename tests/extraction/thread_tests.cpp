// Several threads sharing the one engine, in turn under the extraction lock,
// as the two native methods do; and the lock-free helpers they call.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "extraction/udOmExtractDll.h"
#include "extraction/udOmfwFingers.h"
#include "jni/Travas.h"

TEST(ExtracaoConcorrente, OneEngineServesEveryThreadInTurn) {
  TOmExtractDll motor({std::string(DL_FAKES_DIR) + "/omextract/" + TOmExtractDll::NomeArquivo()});
  TOmExtractorConfiguration config{};
  motor.PegParametrosDefault(config);
  std::atomic<int> falhas{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 30; ++i) {
        const int w = 16 + (i + t) % 3 * 8, h = 12 + t;  // sizes change: the work image is replaced
        std::vector<uint8_t> px(static_cast<size_t>(w) * h);
        for (size_t k = 0; k < px.size(); ++k) px[k] = static_cast<uint8_t>(k + t);
        std::lock_guard<std::recursive_mutex> trava(TravaExtracao());
        auto modelo = motor.ExtractMinutiae(px.data(), w, h, kResolucaoExtracao, &config);
        if (!modelo) {
          ++falhas;
          continue;
        }
        const int32_t n = modelo->ExportNFRecord(nullptr, w, h, 500, 500, 2, 3, true, true);
        std::vector<uint8_t> dados(static_cast<size_t>(n > 0 ? n : 0));
        if (n <= 0 || modelo->ExportNFRecord(dados.data(), w, h, 500, 500, 2, 3, true, true) != n) ++falhas;
      }
    });
  }
  // Meanwhile other threads read the switch and the clock, as extractions do.
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 50; ++i) {
        (void)LogImagensLigado();
        (void)NomeArquivoHora(AgoraLocal());
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(falhas.load(), 0);
}
