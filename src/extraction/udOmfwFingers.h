// NFExtractor: the process-wide extraction engine behind the two native
// methods of ardivex.fingers.NFExtractor, and the image log that keeps every
// image handed to extraction on disk when the registry switch is on.
#pragma once
#include <jni.h>

#include <cstdint>
#include <string>

extern "C" {
JNIEXPORT jlong JNICALL Java_ardivex_fingers_NFExtractor_innerCreateExtractor(JNIEnv* env, jobject self);
JNIEXPORT jbyteArray JNICALL Java_ardivex_fingers_NFExtractor_innerExtract(JNIEnv* env, jobject self, jobject image,
                                                                          jobject first, jobject second);
}

// Every extraction and export uses this resolution, in pixels per inch.
constexpr int32_t kResolucaoExtracao = 500;

// The registry switch of the image log.
constexpr const char* kChaveLogImagens = "\\Software\\Ardivex BR\\dactylink";
constexpr const char* kValorLogImagens = "SI";

// A local date and time, as the image log names its folders and files.
struct TDataHora {
  int Ano = 0, Mes = 0, Dia = 0;
  int Hora = 0, Minuto = 0, Segundo = 0;
};

TDataHora AgoraLocal();
// The calendar day before (month, year and leap days taken into account).
TDataHora DiaAnterior(const TDataHora& d);
// "yyyymmdd"
std::string NomePastaDia(const TDataHora& d);
// "hhnnss.bmp"
std::string NomeArquivoHora(const TDataHora& d);

// True only when the switch "SI" holds the integer 1; read afresh on each call.
bool LogImagensLigado();

// Writes one image into the log folder `pastaLog`: keeps only the day folders
// of `agora` and the day before (other folders are emptied of plain files and
// removed), then writes today's "hhnnss.bmp". Never fails: any problem only
// leaves the log incomplete.
void GravarLogImagem(const std::string& pastaLog, const TDataHora& agora, int32_t largura, int32_t altura,
                     const uint8_t* pixels) noexcept;
