#include "images/udOmfwImages.h"

#include <jni.h>

#include <algorithm>
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

}  // namespace

std::optional<TLeiauteBMP> LerLeiauteBMP(const uint8_t* dados, size_t tamanho) {
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

  TLeiauteBMP leiaute;
  leiaute.Largura = static_cast<int32_t>(largura);
  leiaute.Altura = static_cast<int32_t>(altura);
  leiaute.DeCimaParaBaixo = deCimaParaBaixo;
  leiaute.Inicio = inicio;
  return leiaute;
}

void CopiarPixelsBMP(const uint8_t* dados, size_t tamanho, const TLeiauteBMP& l, uint8_t* destino) {
  const int64_t largura = l.Largura, altura = l.Altura;
  const int64_t linha = TamanhoLinha(largura);
  const uint64_t disponivel = l.Inicio < tamanho ? tamanho - l.Inicio : 0;
  for (int64_t r = 0; r < altura; ++r) {
    const uint64_t origem = static_cast<uint64_t>(r * linha);
    if (origem >= disponivel) break;  // rows missing at the end keep what the caller put there
    const uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(largura), disponivel - origem);
    const int64_t alvo = l.DeCimaParaBaixo ? r : altura - 1 - r;
    std::memcpy(destino + alvo * largura, dados + l.Inicio + origem, static_cast<size_t>(n));
  }
}

std::optional<TImagemCinza> DecodificarBMP(const uint8_t* dados, size_t tamanho) {
  const std::optional<TLeiauteBMP> l = LerLeiauteBMP(dados, tamanho);
  if (!l) return std::nullopt;
  TImagemCinza img;
  img.Largura = l->Largura;
  img.Altura = l->Altura;
  img.Pixels.assign(static_cast<size_t>(int64_t{l->Largura} * l->Altura), 0);  // rows missing at the end stay 0
  CopiarPixelsBMP(dados, tamanho, *l, img.Pixels.data());
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

void EscreverBMPCinza(int32_t w, int32_t h, const uint8_t* pixels, uint8_t* destino) {
  const int64_t total = TamanhoBMPCinza(w, h);
  if (total <= 0) return;
  const uint32_t linha = static_cast<uint32_t>(TamanhoLinha(w));
  uint8_t* d = destino;
  auto por16 = [&d](uint16_t v) {
    *d++ = static_cast<uint8_t>(v);
    *d++ = static_cast<uint8_t>(v >> 8);
  };
  auto por32 = [&d](uint32_t v) {
    for (int i = 0; i < 4; ++i) *d++ = static_cast<uint8_t>(v >> (8 * i));
  };
  *d++ = 'B';
  *d++ = 'M';
  por32(static_cast<uint32_t>(total));
  por16(0);
  por16(0);
  por32(kInicioPixels);
  por32(kCabecalhoInfo);
  por32(static_cast<uint32_t>(w));
  por32(static_cast<uint32_t>(h));  // positive: bottom-up rows
  por16(1);
  por16(8);
  por32(0);
  por32(linha * static_cast<uint32_t>(h));
  por32(0);
  por32(0);
  por32(256);
  por32(0);
  for (uint32_t i = 0; i < 256; ++i) {
    const uint8_t c = static_cast<uint8_t>(i);
    *d++ = c;
    *d++ = c;
    *d++ = c;
    *d++ = 0;
  }
  const size_t preenchimento = linha - static_cast<uint32_t>(w);
  for (int64_t r = h - 1; r >= 0; --r) {
    std::memcpy(d, pixels + r * w, static_cast<size_t>(w));
    d += w;
    if (preenchimento) {
      std::memset(d, 0, preenchimento);
      d += preenchimento;
    }
  }
}

void GravarBMPCinza(int32_t w, int32_t h, const uint8_t* pixels, std::vector<uint8_t>& stream) {
  const int64_t total = TamanhoBMPCinza(w, h);
  if (total < 0) throw Exception(Format("Cannot write a BMP of %d x %d pixels", w, h));
  if (total == 0) return;
  const size_t antes = stream.size();
  stream.resize(antes + static_cast<size_t>(total));
  EscreverBMPCinza(w, h, pixels, stream.data() + antes);
}

namespace {

// The elements of a Java byte[] in place (no copy by the JVM), for a stretch
// that makes no JNI call and neither blocks nor allocates: only the pixel
// copy itself runs while it is held. Released with `modo` (JNI_ABORT for
// arrays only read, so that nothing is ever written back).
class TBytesCriticos {
 public:
  TBytesCriticos(TJNIEnv& env, jbyteArray a, jint modo) : FEnv(env.Env()), FArray(a), FModo(modo) {
    FDados = static_cast<uint8_t*>(FEnv->GetPrimitiveArrayCritical(a, nullptr));
    if (!FDados) throw EJNIError("Could not access the bytes of a Java array");
  }
  ~TBytesCriticos() { FEnv->ReleasePrimitiveArrayCritical(FArray, FDados, FModo); }
  TBytesCriticos(const TBytesCriticos&) = delete;
  TBytesCriticos& operator=(const TBytesCriticos&) = delete;
  uint8_t* Dados() const { return FDados; }

 private:
  JNIEnv* FEnv;
  jbyteArray FArray;
  uint8_t* FDados;
  jint FModo;
};

jbyteArray NovoArrayBytes(TJNIEnv& env, int64_t tamanho) {
  jbyteArray a = env.NewByteArray(static_cast<jsize>(tamanho));
  if (!a) throw EJNIError(Format("Could not create a byte array of %lld bytes", static_cast<long long>(tamanho)));
  return a;
}

}  // namespace

// Both natives go straight between the Java arrays: the JVM zero-fills the new
// array, and the pixels are copied once, with no buffer of our own between.
extern "C" JNIEXPORT void JNICALL Java_ardivex_images_NImage_loadBMP(JNIEnv* jenv, jobject self, jbyteArray file) {
  frames::Image(jenv, [&](TJNIEnv& env) {
    if (!file) throw Exception("No BMP bytes");
    TAcessoJNI a(&env, self);
    // A Java array's length never changes, so every read below stays within
    // it even if another thread rewrites the bytes between the two looks.
    const size_t tamanho = static_cast<size_t>(env.GetArrayLength(file));
    std::optional<TLeiauteBMP> leiaute;
    if (tamanho > 0) {
      TBytesCriticos bytes(env, file, JNI_ABORT);
      leiaute = LerLeiauteBMP(bytes.Dados(), tamanho);
    }
    if (!leiaute) throw Exception("Not an 8-bit uncompressed BMP");
    // The array is made and filled before any field is written, so that
    // running out of Java memory leaves the receiver as it was.
    jbyteArray buffer = NovoArrayBytes(env, int64_t{leiaute->Largura} * leiaute->Altura);
    {
      TBytesCriticos origem(env, file, JNI_ABORT);
      TBytesCriticos destino(env, buffer, 0);
      CopiarPixelsBMP(origem.Dados(), tamanho, *leiaute, destino.Dados());
    }
    a.SetCampoInt("width", leiaute->Largura);
    a.SetCampoInt("height", leiaute->Altura);
    // The value is the byte[] made above, whose class Java would name "[B":
    // named here, the field is found exactly as a guess would find it,
    // without a call into Java for the class name on every load.
    a.DefCampoObjeto("buffer", buffer, "[B");
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
    const int64_t total = TamanhoBMPCinza(w, h);
    if (total < 0) throw Exception(Format("Image of %d x %d pixels is too large for a BMP", w, h));
    if (pixels > 0) {
      const int64_t tem = env.GetArrayLength(b);
      if (tem < pixels)
        throw Exception(Format("Image buffer holds %lld bytes, %d x %d needs %lld", static_cast<long long>(tem), w, h,
                               static_cast<long long>(pixels)));
    }
    jbyteArray arquivo = NovoArrayBytes(env, total);
    if (total > 0) {
      TBytesCriticos origem(env, b, JNI_ABORT);
      TBytesCriticos destino(env, arquivo, 0);
      EscreverBMPCinza(w, h, origem.Dados(), destino.Dados());
    }
    return arquivo;
  });
}
