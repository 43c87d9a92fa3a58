#include "templates/udOmfwTemplates.h"

#include <jni.h>

#include <memory>

#include "jni/Frames.h"
#include "jni/udBibRotinasJni.h"
#include "support/Formatar.h"

namespace {

uint32_t Palavra(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

// Bytes that reading one record of a kind touches, from the record's start.
size_t BytesLidos(const TLocalItensNF& l) {
  switch (l.Tipo) {
    case tiMinucia: return l.Passo;
    case tiDelta: return 7;
    default: return 4;
  }
}

// A located block is usable only if it lies within the bytes and its last
// record can be read whole (a record size below what we read must not let
// the last read run past the end).
std::optional<TLocalItensNF> SeCouber(const TLocalItensNF& l, size_t tamanho) {
  const uint64_t fim = uint64_t{l.Inicio} + uint64_t{static_cast<uint32_t>(l.Quantidade)} * l.Passo;
  if (fim > tamanho) return std::nullopt;
  if (l.Quantidade > 0 &&
      uint64_t{l.Inicio} + uint64_t{static_cast<uint32_t>(l.Quantidade - 1)} * l.Passo + BytesLidos(l) > tamanho)
    return std::nullopt;
  return l;
}

}  // namespace

std::optional<TLocalItensNF> LocalizarItensNF(const uint8_t* dados, size_t tamanho, int32_t tipo) {
  if (!dados || tamanho <= 25 || tipo < tiMinucia || tipo > tiNucleoDuplo) return std::nullopt;
  TLocalItensNF l;
  l.Tipo = tipo;
  const uint8_t flags = dados[22] & 7;
  const size_t n0 = dados[24], s0 = dados[25];
  if (tipo == tiMinucia) {
    l.Flags = flags;
    l.Quantidade = static_cast<int32_t>(n0);
    l.Inicio = 26;
    l.Passo = 4 + (flags & 1) + ((flags >> 1) & 1) + ((flags >> 2) & 1);
    return SeCouber(l, tamanho);
  }
  // Offsets below stay far from overflow: each step adds at most 255 * 255 + 32767.
  const size_t a = 26 + n0 * s0;
  if (a + 3 > tamanho) return std::nullopt;
  const int16_t comprimento = static_cast<int16_t>(dados[a + 1] | (dados[a + 2] << 8));
  if (comprimento < 0) return std::nullopt;  // would point back into what precedes the block
  const size_t b = a + 3 + static_cast<size_t>(comprimento);
  if (b + 1 >= tamanho) return std::nullopt;
  l.Quantidade = dados[b];
  l.Passo = dados[b + 1];
  l.Inicio = b + 2;
  if (tipo == tiNucleo) return SeCouber(l, tamanho);

  const size_t c = b + 2 + static_cast<size_t>(dados[b]) * dados[b + 1];
  if (c + 1 >= tamanho) return std::nullopt;
  l.Quantidade = dados[c];
  l.Passo = dados[c + 1];
  l.Inicio = c + 2;
  if (tipo == tiDelta) return SeCouber(l, tamanho);

  const size_t d = c + 2 + static_cast<size_t>(dados[c]) * dados[c + 1];
  if (d + 1 >= tamanho) return std::nullopt;
  l.Quantidade = dados[d];
  l.Passo = dados[d + 1];
  l.Inicio = d + 2;
  return SeCouber(l, tamanho);
}

int32_t ContarItensNF(const uint8_t* dados, size_t tamanho, int32_t tipo) {
  auto l = LocalizarItensNF(dados, tamanho, tipo);
  return l ? l->Quantidade : 0;
}

TItemNF LerItemNF(const uint8_t* dados, const TLocalItensNF& local, int32_t indice) {
  const uint8_t* r = dados + local.Inicio + static_cast<size_t>(indice) * local.Passo;
  const uint32_t w = Palavra(r);
  TItemNF item;
  item.X = static_cast<int32_t>(w >> 21);
  item.Y = static_cast<int32_t>((w >> 10) & 0x7FF);
  switch (local.Tipo) {
    case tiMinucia: {
      item.Tipo = static_cast<int32_t>((w >> 8) & 3);
      item.Angulo = static_cast<int32_t>(w & 0xFF);
      const uint8_t* opc = r + 4;
      item.Qualidade = (local.Flags & 1) ? *opc++ : 255;
      item.Curvatura = (local.Flags & 2) ? *opc++ : 255;
      item.G = (local.Flags & 4) ? *opc++ : 255;
      break;
    }
    case tiNucleo:
      item.Angulo = static_cast<int32_t>(w & 0xFF);
      break;
    case tiDelta:
      item.Angulo1 = r[4];
      item.Angulo2 = r[5];
      item.Angulo3 = r[6];
      break;
    default:
      break;
  }
  return item;
}

namespace {

// The template bytes of the receiver's "data" field, read only.
class TDadosRegistro {
 public:
  TDadosRegistro(TJNIEnv& env, jobject self) : FEnv(env) {
    TAcessoJNI a(&env, self);
    FArray = static_cast<jbyteArray>(a.PegCampoObjeto("data", "[B"));
    if (!FArray) return;
    FTamanho = static_cast<size_t>(env.GetArrayLength(FArray));
    FDados = env.GetByteArrayElements(FArray, nullptr);
    if (!FDados) throw EJNIError("Could not access the template bytes");
  }
  ~TDadosRegistro() {
    if (FDados) FEnv.ReleaseByteArrayElements(FArray, FDados, JNI_ABORT);
    if (FArray) FEnv.DeleteLocalRef(FArray);
  }
  TDadosRegistro(const TDadosRegistro&) = delete;
  TDadosRegistro& operator=(const TDadosRegistro&) = delete;
  const uint8_t* Dados() const { return reinterpret_cast<const uint8_t*>(FDados); }
  size_t Tamanho() const { return FTamanho; }

 private:
  TJNIEnv& FEnv;
  jbyteArray FArray = nullptr;
  jbyte* FDados = nullptr;
  size_t FTamanho = 0;
};

void PreencherItem(TJNIEnv& env, jobject objeto, int32_t tipo, const TItemNF& item) {
  TAcessoJNI a(&env, objeto);
  a.SetCampoInt("X", item.X);
  a.SetCampoInt("Y", item.Y);
  switch (tipo) {
    case tiMinucia:
      a.ChamarVoid("setType", "I", {item.Tipo});
      // A missing setType has been reported and cleared; one that threw has not.
      if (env.ExceptionCheck()) throw EJNIError("Method 'setType' of a minutia item failed");
      a.SetCampoInt("Angle", item.Angulo);
      a.SetCampoInt("Quality", item.Qualidade);
      a.SetCampoInt("Curvature", item.Curvatura);
      a.SetCampoInt("G", item.G);
      break;
    case tiNucleo:
      a.SetCampoInt("Angle", item.Angulo);
      break;
    case tiDelta:
      a.SetCampoInt("Angle1", item.Angulo1);
      a.SetCampoInt("Angle2", item.Angulo2);
      a.SetCampoInt("Angle3", item.Angulo3);
      break;
    default:
      break;
  }
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL Java_ardivex_templates_NFRecord_innerGetItemCount(JNIEnv* jenv, jobject self,
                                                                                     jint kind) {
  return frames::Plain(jenv, [&](TJNIEnv& env) -> jint {
    TDadosRegistro d(env, self);
    return ContarItensNF(d.Dados(), d.Tamanho(), kind);
  });
}

// An items array shorter than the count, or holding null where an item is
// due, is the caller's mistake: it is reported as a Java exception before any
// item is touched, instead of filling a silent part of the template.
extern "C" JNIEXPORT void JNICALL Java_ardivex_templates_NFRecord_innerFillItems(JNIEnv* jenv, jobject self, jint kind,
                                                                                 jobjectArray items) {
  frames::Plain(jenv, [&](TJNIEnv& env) {
    if (!items) return;
    TDadosRegistro d(env, self);
    auto local = LocalizarItensNF(d.Dados(), d.Tamanho(), kind);
    if (!local || local->Quantidade == 0) return;
    const jsize n = env.GetArrayLength(items);
    if (n < local->Quantidade)
      throw EJNIError(Format("Items array holds %d elements, the template has %d items of kind %d",
                             static_cast<int>(n), local->Quantidade, static_cast<int>(kind)));
    // Each element reference is freed at once: templates hold up to 255 items per kind.
    struct Ref {
      TJNIEnv& env;
      jobject o;
      ~Ref() {
        if (o) env.DeleteLocalRef(o);
      }
    };
    for (int32_t i = 0; i < local->Quantidade; ++i) {
      Ref ref{env, env.GetObjectArrayElement(items, i)};
      if (!ref.o) throw EJNIError(Format("Item %d of the items array is null", i));
    }
    for (int32_t i = 0; i < local->Quantidade; ++i) {
      Ref ref{env, env.GetObjectArrayElement(items, i)};
      PreencherItem(env, ref.o, kind, LerItemNF(d.Dados(), *local, i));
    }
  });
}
