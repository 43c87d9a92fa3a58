// Reads arbitrary bytes as a finger minutiae record of one format (chosen at
// build time: one target per reader) and as what the detector makes of them.
// Whatever is accepted must hold values in their ranges, be written back to
// the same bytes, and convert into a template the template readers accept.
// The bytes are also exported as a template, whose record must read back.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "templates/MinutiaeRecords.h"
#include "templates/udOmfwTemplates.h"

#ifndef FMR_FUZZ_FORMAT
#error FMR_FUZZ_FORMAT selects the reader: 0 ISO, 1 ANSI
#endif

namespace {

constexpr fmr::TFormat kFormat = static_cast<fmr::TFormat>(FMR_FUZZ_FORMAT);

void CheckTemplate(const std::vector<uint8_t>& nf, size_t minutiae) {
  auto l = LocalizarItensNF(nf.data(), nf.size(), tiMinucia);
  if (!l || static_cast<size_t>(l->Quantidade) != minutiae) std::abort();
  for (int32_t k = 1; k <= 3; ++k)
    if (ContarItensNF(nf.data(), nf.size(), k) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);  // exact size: ASan sees any overrun
  try {
    const fmr::TFormat detected = fmr::Detect(bytes.data(), bytes.size());
    if (detected != fmr::TFormat::Iso2005 && detected != fmr::TFormat::Ansi2004) std::abort();
  } catch (const fmr::ERecord&) {
  }

  try {
    const fmr::TRecord r = fmr::Read(bytes.data(), bytes.size(), kFormat);
    if (r.Views.empty() || r.Views.size() > 255) std::abort();
    for (const fmr::TFingerView& v : r.Views) {
      if (v.FingerQuality > 100 || v.Minutiae.size() > 255) std::abort();
      for (const fmr::TStdMinutia& m : v.Minutiae)
        if (m.Type < 0 || m.Type > 2 || m.X >= r.Width || m.Y >= r.Height || m.Quality > 100 ||
            (kFormat == fmr::TFormat::Ansi2004 && m.Angle > 179))
          std::abort();
    }
    // The one detector result for a record its reader accepts.
    if (fmr::Detect(bytes.data(), bytes.size()) != kFormat) std::abort();
    // Written back, the record has the same length, but for an ANSI record
    // that used the long length form where the short one would do.
    const std::vector<uint8_t> again = fmr::Write(r);
    const bool needlesslyLong = kFormat == fmr::TFormat::Ansi2004 && bytes[8] == 0 && bytes[9] == 0 && size <= 65535 + 4;
    if (again.size() + (needlesslyLong ? 4 : 0) != bytes.size()) std::abort();
    if (fmr::Read(again.data(), again.size(), kFormat).Views.size() != r.Views.size()) std::abort();
    for (size_t i = 0; i < r.Views.size(); ++i) {
      try {
        CheckTemplate(fmr::ToNFRecord(bytes.data(), bytes.size(), kFormat, static_cast<int>(i)),
                      r.Views[i].Minutiae.size());
      } catch (const fmr::ERecord&) {
        // Only coordinates beyond a template's 11 bits are refused here.
      }
    }
  } catch (const fmr::ERecord&) {
  }

  try {
    fmr::TExportOptions o;
    o.Width = o.Height = 2048;
    o.Resolution = 500;
    const std::vector<uint8_t> rec = fmr::FromNFRecord(bytes.data(), bytes.size(), kFormat, o);
    const fmr::TRecord r = fmr::Read(rec.data(), rec.size(), kFormat);
    CheckTemplate(fmr::ToNFRecord(rec.data(), rec.size(), kFormat, 0), r.Views[0].Minutiae.size());
  } catch (const fmr::ERecord&) {
  }
  return 0;
}
