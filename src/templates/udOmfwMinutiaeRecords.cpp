// JNI exports of ardivex.templates.FingerMinutiaeRecord: the ISO/IEC
// 19794-2:2005 and ANSI INCITS 378-2004 records and their conversions. Every
// failure becomes an ardivex.templates.MinutiaeRecordException.
#include <jni.h>

#include <cstdint>
#include <vector>

#include "jni/Frames.h"
#include "jni/udBibRotinasJni.h"
#include "support/Formatar.h"
#include "templates/MinutiaeRecords.h"

namespace {

constexpr const char* kClasseMinutiaeRecordException = "ardivex/templates/MinutiaeRecordException";

// The order of the options array FingerMinutiaeRecord passes (RecordOptions).
enum TOpcao : jsize {
  opLargura,
  opAltura,
  opResolucao,
  opPosicaoDedo,
  opNumeroVista,
  opTipoImpressao,
  opQualidadeDedo,
  opConformidade,
  opEquipamento,
  opCbeffDono,
  opCbeffTipo,
  opQuantidade
};

template <class Body>
auto Registro(JNIEnv* jenv, Body&& body) -> decltype(body(std::declval<TJNIEnv&>())) {
  return frames::Own(jenv, kClasseMinutiaeRecordException, std::forward<Body>(body));
}

std::vector<uint8_t> Bytes(TJNIEnv& env, jbyteArray array, const char* what) {
  if (!array) throw fmr::ERecord(Format("The %s is null", what));
  return CopiarArrayBytes(&env, array);
}

fmr::TFormat Formato(jint format) {
  if (format != static_cast<jint>(fmr::TFormat::Iso2005) && format != static_cast<jint>(fmr::TFormat::Ansi2004))
    throw fmr::ERecord(Format("Unknown record format %d", static_cast<int>(format)));
  return static_cast<fmr::TFormat>(format);
}

fmr::TExportOptions Opcoes(TJNIEnv& env, jintArray options) {
  fmr::TExportOptions o;
  if (!options) return o;
  if (env.GetArrayLength(options) != opQuantidade)
    throw fmr::ERecord(Format("The options array holds %d values, not %d", static_cast<int>(env.GetArrayLength(options)),
                              static_cast<int>(opQuantidade)));
  jint v[opQuantidade];
  env.Env()->GetIntArrayRegion(options, 0, opQuantidade, v);
  if (env.ExceptionCheck()) throw fmr::ERecord("Cannot read the options array");
  o.Width = v[opLargura];
  o.Height = v[opAltura];
  o.Resolution = v[opResolucao];
  o.FingerPosition = v[opPosicaoDedo];
  o.ViewNumber = v[opNumeroVista];
  o.ImpressionType = v[opTipoImpressao];
  o.FingerQuality = v[opQualidadeDedo];
  o.EquipmentCompliance = v[opConformidade];
  o.EquipmentId = v[opEquipamento];
  o.CbeffOwner = v[opCbeffDono];
  o.CbeffType = v[opCbeffTipo];
  return o;
}

jbyteArray ParaJava(TJNIEnv& env, const std::vector<uint8_t>& bytes) {
  return CriarArrayBytes(&env, bytes.data(), static_cast<int32_t>(bytes.size()));
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL Java_ardivex_templates_FingerMinutiaeRecord_innerDetect(JNIEnv* jenv, jclass,
                                                                                        jbyteArray record) {
  return Registro(jenv, [&](TJNIEnv& env) -> jint {
    const auto r = Bytes(env, record, "record");
    return static_cast<jint>(fmr::Detect(r.data(), r.size()));
  });
}

extern "C" JNIEXPORT jbyteArray JNICALL Java_ardivex_templates_FingerMinutiaeRecord_innerExport(JNIEnv* jenv, jclass,
                                                                                              jbyteArray nfrecord,
                                                                                              jint format,
                                                                                              jintArray options) {
  return Registro(jenv, [&](TJNIEnv& env) -> jbyteArray {
    const auto t = Bytes(env, nfrecord, "template");
    return ParaJava(env, fmr::FromNFRecord(t.data(), t.size(), Formato(format), Opcoes(env, options)));
  });
}

// format -1: recognised by content.
extern "C" JNIEXPORT jbyteArray JNICALL Java_ardivex_templates_FingerMinutiaeRecord_innerImport(JNIEnv* jenv, jclass,
                                                                                              jbyteArray record,
                                                                                              jint format, jint view) {
  return Registro(jenv, [&](TJNIEnv& env) -> jbyteArray {
    const auto r = Bytes(env, record, "record");
    return ParaJava(env, format < 0 ? fmr::ToNFRecord(r.data(), r.size(), view)
                                    : fmr::ToNFRecord(r.data(), r.size(), Formato(format), view));
  });
}
