#include "images/udOmfwImages.h"

#include <jni.h>

#include <cstring>
#include <limits>
#include <memory>

#include "jni/Frames.h"
#include "jni/udBibRotinasJni.h"
#include "support/Excecoes.h"
#include "support/Formatar.h"

namespace {

constexpr uint32_t kCabecalhoArquivo = 14;
constexpr uint32_t kCabecalhoInfo = 40;
constexpr uint32_t kTamanhoPaleta = 256 * 4;
constexpr uint32_t kInicioPixels = kCabecalhoArquivo + kCabecalhoInfo + kTamanhoPaleta;  // 1078

// Reads little-endian values at absolute offsets, refusing anything that would
// pass the end of the received bytes.
class TLeitor {
 public:
  TLeitor(const uint8_t* dados, size_t tamanho) : FDados(dados), FTamanho(tamanho) {}
  bool Cabe(uint64_t pos, uint64_t n) const { return pos <= FTamanho && n <= FTamanho - pos; }
  uint16_t U16(uint64_t pos) const { return static_cast<uint16_t>(FDados[pos] | (FDados[pos + 1] << 8)); }
  uint32_t U32(uint64_t pos) const {
    return static_cast<uint32_t>(FDados[pos]) | (static_cast<uint32_t>(FDados[pos + 1]) << 8) |
           (static_cast<uint32_t>(FDados[pos + 2]) << 16) | (static_cast<uint32_t>(FDados[pos + 3]) << 24);
  }
  const uint8_t* Em(uint64_t pos) const { return FDados + pos; }
  size_t Tamanho() const { return FTamanho; }

 private:
  const uint8_t* FDados;
  size_t FTamanho;
};

int64_t TamanhoLinha(int64_t largura) { return (largura + 3) & ~int64_t{3}; }

void Por16(std::vector<uint8_t>& s, uint16_t v) {
  s.push_back(static_cast<uint8_t>(v));
  s.push_back(static_cast<uint8_t>(v >> 8));
}
void Por32(std::vector<uint8_t>& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

std::optional<TImagemCinza> DecodificarBMP(const uint8_t* dados, size_t tamanho) {
  if (!dados) return std::nullopt;
  TLeitor l(dados, tamanho);
  if (!l.Cabe(0, kCabecalhoArquivo + 4) || dados[0] != 'B' || dados[1] != 'M') return std::nullopt;
  const uint32_t deslocamentoPixels = l.U32(10);
  const uint32_t tamCabecalho = l.U32(kCabecalhoArquivo);
  const uint64_t p = kCabecalhoArquivo;

  int64_t largura, altura;
  uint32_t planos, bits, compressao, cores;
  uint32_t bytesPorCor;
  if (tamCabecalho == 12) {
    if (!l.Cabe(p, 12)) return std::nullopt;
    largura = l.U16(p + 4);
    altura = l.U16(p + 6);
    planos = l.U16(p + 8);
    bits = l.U16(p + 10);
    compressao = 0;
    cores = 0;
    bytesPorCor = 3;
  } else if (tamCabecalho >= kCabecalhoInfo) {
    if (!l.Cabe(p, tamCabecalho)) return std::nullopt;  // the whole header, its later fields skipped
    largura = static_cast<int32_t>(l.U32(p + 4));
    altura = static_cast<int32_t>(l.U32(p + 8));
    planos = l.U16(p + 12);
    bits = l.U16(p + 14);
    compressao = l.U32(p + 16);
    cores = l.U32(p + 32);
    bytesPorCor = 4;
  } else {
    return std::nullopt;
  }
  if (planos != 1 || bits != 8 || compressao != 0) return std::nullopt;
  if (cores == 0) cores = 256;
  if (cores > 256) return std::nullopt;

  // Negative height: rows stored top-down. Empty images are not images.
  const bool deCimaParaBaixo = altura < 0;
  if (deCimaParaBaixo) altura = -altura;
  if (largura <= 0 || altura <= 0 || largura > kBmpLadoMaximo || altura > kBmpLadoMaximo ||
      largura * altura > kBmpPixelsMaximos)
    return std::nullopt;

  const uint64_t paleta = p + tamCabecalho;
  const uint64_t fimPaleta = paleta + uint64_t{cores} * bytesPorCor;
  if (!l.Cabe(paleta, fimPaleta - paleta)) return std::nullopt;
  // The pixel-data offset is honoured when it points past the colour table
  // (a gap may hold colour masks or a profile); an offset into the headers is
  // inconsistent, and then the rows are taken right after the colour table.
  const uint64_t inicio = deslocamentoPixels >= fimPaleta ? deslocamentoPixels : fimPaleta;

  const int64_t linha = TamanhoLinha(largura);
  const uint64_t disponivel = inicio < tamanho ? tamanho - inicio : 0;

  TImagemCinza img;
  img.Largura = static_cast<int32_t>(largura);
  img.Altura = static_cast<int32_t>(altura);
  img.Pixels.assign(static_cast<size_t>(largura * altura), 0);  // rows missing at the end stay 0
  for (int64_t r = 0; r < altura; ++r) {
    const uint64_t origem = static_cast<uint64_t>(r * linha);
    if (origem >= disponivel) break;
    const uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(largura), disponivel - origem);
    const int64_t destino = deCimaParaBaixo ? r : altura - 1 - r;
    std::memcpy(img.Pixels.data() + destino * largura, l.Em(inicio + origem), static_cast<size_t>(n));
  }
  return img;
}

int64_t TamanhoBMPCinza(int32_t w, int32_t h) {
  if (w < 0 || h < 0) return -1;
  if (w == 0 || h == 0) return 0;
  // The decoder's limits: whatever is written can be read back.
  if (w > kBmpLadoMaximo || h > kBmpLadoMaximo || int64_t{w} * h > kBmpPixelsMaximos) return -1;
  const int64_t total = kInicioPixels + TamanhoLinha(w) * h;
  return total <= std::numeric_limits<int32_t>::max() ? total : -1;
}

void GravarBMPCinza(int32_t w, int32_t h, const uint8_t* pixels, std::vector<uint8_t>& stream) {
  const int64_t total = TamanhoBMPCinza(w, h);
  if (total < 0) throw Exception(Format("Cannot write a BMP of %d x %d pixels", w, h));
  if (total == 0) return;
  const uint32_t linha = static_cast<uint32_t>(TamanhoLinha(w));
  const uint32_t imagem = linha * static_cast<uint32_t>(h);

  stream.reserve(stream.size() + static_cast<size_t>(total));
  stream.push_back('B');
  stream.push_back('M');
  Por32(stream, static_cast<uint32_t>(total));
  Por16(stream, 0);
  Por16(stream, 0);
  Por32(stream, kInicioPixels);
  Por32(stream, kCabecalhoInfo);
  Por32(stream, static_cast<uint32_t>(w));
  Por32(stream, static_cast<uint32_t>(h));  // positive: bottom-up rows
  Por16(stream, 1);
  Por16(stream, 8);
  Por32(stream, 0);
  Por32(stream, imagem);
  Por32(stream, 0);
  Por32(stream, 0);
  Por32(stream, 256);
  Por32(stream, 0);
  for (uint32_t i = 0; i < 256; ++i) {
    const uint8_t c = static_cast<uint8_t>(i);
    stream.insert(stream.end(), {c, c, c, 0});
  }
  const size_t preenchimento = linha - static_cast<uint32_t>(w);
  for (int64_t r = h - 1; r >= 0; --r) {
    const uint8_t* origem = pixels + r * w;
    stream.insert(stream.end(), origem, origem + w);
    stream.insert(stream.end(), preenchimento, 0);
  }
}

namespace {

// The elements of a Java byte[] for reading only; released without copying
// back, so a concurrent Java writer never sees its changes undone.
class TBytesJava {
 public:
  TBytesJava(TJNIEnv& env, jbyteArray a) : FEnv(env), FArray(a) {
    FTamanho = env.GetArrayLength(a);
    FDados = env.GetByteArrayElements(a, nullptr);
    if (!FDados) throw EJNIError("Could not access the bytes of a Java array");
  }
  ~TBytesJava() { FEnv.ReleaseByteArrayElements(FArray, FDados, JNI_ABORT); }
  TBytesJava(const TBytesJava&) = delete;
  TBytesJava& operator=(const TBytesJava&) = delete;
  const uint8_t* Dados() const { return reinterpret_cast<const uint8_t*>(FDados); }
  size_t Tamanho() const { return static_cast<size_t>(FTamanho); }

 private:
  TJNIEnv& FEnv;
  jbyteArray FArray;
  jbyte* FDados;
  jsize FTamanho;
};

}  // namespace

extern "C" JNIEXPORT void JNICALL Java_ardivex_images_NImage_loadBMP(JNIEnv* jenv, jobject self, jbyteArray file) {
  frames::Image(jenv, [&](TJNIEnv& env) {
    if (!file) throw Exception("No BMP bytes");
    TAcessoJNI a(&env, self);
    std::optional<TImagemCinza> img;
    {
      TBytesJava bytes(env, file);
      img = DecodificarBMP(bytes.Dados(), bytes.Tamanho());
    }
    if (!img) throw Exception("Not an 8-bit uncompressed BMP");
    // The array is made before any field is written, so that running out of
    // Java memory leaves the receiver as it was.
    jbyteArray buffer = CriarArrayBytes(&env, img->Pixels.data(), static_cast<int32_t>(img->Pixels.size()));
    a.SetCampoInt("width", img->Largura);
    a.SetCampoInt("height", img->Altura);
    a.DefCampoObjeto("buffer", buffer, "");
  });
}

extern "C" JNIEXPORT jbyteArray JNICALL Java_ardivex_images_NImage_saveBMP(JNIEnv* jenv, jobject self) {
  return frames::Plain(jenv, [&](TJNIEnv& env) -> jbyteArray {
    TAcessoJNI a(&env, self);
    auto b = static_cast<jbyteArray>(a.PegCampoObjeto("buffer", "[B"));
    const int32_t w = a.GetCampoInt("width");
    const int32_t h = a.GetCampoInt("height");
    if (w < 0 || h < 0) throw Exception(Format("Invalid image size %d x %d", w, h));
    const int64_t pixels = int64_t{w} * h;
    if (pixels > 0 && !b) throw Exception("Image has no buffer");
    if (TamanhoBMPCinza(w, h) < 0) throw Exception(Format("Image of %d x %d pixels is too large for a BMP", w, h));
    std::vector<uint8_t> stream;
    if (pixels > 0) {
      TBytesJava p(env, b);
      if (static_cast<int64_t>(p.Tamanho()) < pixels)
        throw Exception(Format("Image buffer holds %lld bytes, %d x %d needs %lld",
                               static_cast<long long>(p.Tamanho()), w, h, static_cast<long long>(pixels)));
      GravarBMPCinza(w, h, p.Dados(), stream);
    }
    return CriarArrayBytes(&env, stream.data(), static_cast<int32_t>(stream.size()));
  });
}
