#include "extraction/udOmfwFingers.h"

#include <chrono>
#include <ctime>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "extraction/udOmExtractDll.h"
#include "images/udOmfwImages.h"
#include "jni/Frames.h"
#include "jni/udBibRotinasJni.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "support/Excecoes.h"
#include "support/Formatar.h"
#include "support/Trace.h"
#include "support/udBibRotinas.h"

namespace {

// All of this is guarded by the extraction lock (frames::Extraction). The
// engine and the records live until the process ends: Java may keep a handle
// for as long as it likes.
TOmExtractDll* g_motor = nullptr;
std::set<const TOmExtractorConfiguration*>* g_configuracoes = nullptr;

bool HandleValido(int64_t handle) {
  if (handle == 0 || !g_configuracoes) return false;
  return g_configuracoes->count(reinterpret_cast<const TOmExtractorConfiguration*>(handle)) != 0;
}

// The elements of a Java byte array, released without copying back.
class TPixelsJava {
 public:
  TPixelsJava(TJNIEnv& env, jbyteArray array) : FEnv(env), FArray(array) {
    FDados = env.GetByteArrayElements(array, nullptr);
    if (!FDados) throw Exception("Cannot read the image pixels");
  }
  ~TPixelsJava() { FEnv.ReleaseByteArrayElements(FArray, FDados, JNI_ABORT); }
  TPixelsJava(const TPixelsJava&) = delete;
  TPixelsJava& operator=(const TPixelsJava&) = delete;
  const uint8_t* Dados() const { return reinterpret_cast<const uint8_t*>(FDados); }

 private:
  TJNIEnv& FEnv;
  jbyteArray FArray;
  jbyte* FDados;
};

std::string Dois(int v) { return Format("%02d", v); }

}  // namespace

TDataHora AgoraLocal() {
  // localtime shares one buffer per process on some C libraries; the mutex
  // keeps our own callers apart.
  static std::mutex m;
  std::time_t t = std::time(nullptr);
  std::lock_guard<std::mutex> trava(m);
  const std::tm* tm = std::localtime(&t);
  TDataHora d;
  if (!tm) return d;
  d.Ano = tm->tm_year + 1900;
  d.Mes = tm->tm_mon + 1;
  d.Dia = tm->tm_mday;
  d.Hora = tm->tm_hour;
  d.Minuto = tm->tm_min;
  d.Segundo = tm->tm_sec;
  return d;
}

TDataHora DiaAnterior(const TDataHora& d) {
  using namespace std::chrono;
  const year_month_day hoje{year{d.Ano}, month{static_cast<unsigned>(d.Mes)}, day{static_cast<unsigned>(d.Dia)}};
  const year_month_day ontem{sys_days{hoje} - days{1}};
  TDataHora r = d;
  r.Ano = static_cast<int>(ontem.year());
  r.Mes = static_cast<int>(static_cast<unsigned>(ontem.month()));
  r.Dia = static_cast<int>(static_cast<unsigned>(ontem.day()));
  return r;
}

std::string NomePastaDia(const TDataHora& d) { return Format("%04d", d.Ano) + Dois(d.Mes) + Dois(d.Dia); }

std::string NomeArquivoHora(const TDataHora& d) { return Dois(d.Hora) + Dois(d.Minuto) + Dois(d.Segundo) + ".bmp"; }

bool LogImagensLigado() {
  try {
    auto v = plat::ReadRegistryDword(plat::RegistryRoot::CurrentUser, kChaveLogImagens, kValorLogImagens);
    return v && *v == 1;
  } catch (...) {
    return false;
  }
}

void GravarLogImagem(const std::string& pastaLog, const TDataHora& agora, int32_t largura, int32_t altura,
                     const uint8_t* pixels) noexcept {
  try {
    const std::string pasta = IncluirDelimitador(pastaLog);
    plat::ForceDirectories(pasta);
    const std::string hoje = NomePastaDia(agora);
    const std::string ontem = NomePastaDia(DiaAnterior(agora));
    // The log folder itself may be a link an administrator made; a link inside
    // it is never followed, for clean-up or for writing, so that no file
    // outside the log is touched.
    for (const auto& e : plat::ListFolder(pasta)) {
      if (e.name.empty() || e.name[0] == '.' || e.name == hoje || e.name == ontem || !e.isDirectory || e.isLink)
        continue;
      const std::string velha = IncluirDelimitador(pasta + e.name);
      for (const auto& arquivo : plat::ListFolder(velha)) {
        if (!arquivo.name.empty() && arquivo.name[0] != '.' && !arquivo.isDirectory && !arquivo.isLink)
          plat::DeleteFileAt(velha + arquivo.name);
      }
      plat::RemoveEmptyDirectory(pasta + e.name);  // a folder that still holds anything stays
    }
    const std::string pastaHoje = IncluirDelimitador(pasta + hoje);
    if (plat::IsLink(pastaHoje)) {
      Trace("image log: %s is a link, no image written", pastaHoje.c_str());
      return;
    }
    plat::ForceDirectories(pastaHoje);
    std::vector<uint8_t> bmp;
    GravarBMPCinza(largura, altura, pixels, bmp);
    if (!plat::WriteWholeFileNoFollow(pastaHoje + NomeArquivoHora(agora), bmp.data(), bmp.size()))
      Trace("image log: could not write %s", (pastaHoje + NomeArquivoHora(agora)).c_str());
  } catch (...) {
    Trace("image log: could not write the image");
  }
}

extern "C" JNIEXPORT jlong JNICALL Java_ardivex_fingers_NFExtractor_innerCreateExtractor(JNIEnv* jenv, jobject) {
  return frames::Extraction(jenv, [&](TJNIEnv& env) -> jlong {
    if (!g_motor) {
      try {
        g_motor = new TOmExtractDll();
      } catch (...) {
        Trace("OmExtract could not be loaded");
        LancarExcecaoJava(env, kClasseException,
                          "Could not load OmExtractor library - " + PegPastaBiblioteca(TOmExtractDll::NomeArquivo()));
        return 0;
      }
    }
    if (!g_configuracoes) g_configuracoes = new std::set<const TOmExtractorConfiguration*>();
    // Zeroed first: an engine without GetDefaultConfig leaves the record as it is.
    auto config = std::make_unique<TOmExtractorConfiguration>();
    g_motor->PegParametrosDefault(*config);
    g_configuracoes->insert(config.get());
    return static_cast<jlong>(reinterpret_cast<intptr_t>(config.release()));
  });
}

extern "C" JNIEXPORT jbyteArray JNICALL Java_ardivex_fingers_NFExtractor_innerExtract(JNIEnv* jenv, jobject self,
                                                                                     jobject image, jobject first,
                                                                                     jobject second) {
  return frames::Extraction(jenv, [&](TJNIEnv& env) -> jbyteArray {
    const int32_t ordinal1 = PegOrdinal(&env, first);
    const int32_t ordinal2 = PegOrdinal(&env, second);
    const int64_t handle = TAcessoJNI(&env, self).GetCampoLong("handle");
    if (!HandleValido(handle)) throw Exception(Format("Invalid extractor handle %lld", static_cast<long long>(handle)));
    if (!image) throw Exception("The image is null");
    TAcessoJNI imagem(&env, image);
    const int32_t largura = imagem.GetCampoInt("width");
    const int32_t altura = imagem.GetCampoInt("height");
    auto buffer = static_cast<jbyteArray>(imagem.PegCampoObjeto("buffer", "[B"));
    if (largura < 0 || altura < 0) throw Exception(Format("Invalid image size %d x %d", largura, altura));
    if (!buffer) throw Exception("The image has no pixels");
    const int64_t necessarios = static_cast<int64_t>(largura) * altura;
    const int64_t recebidos = env.GetArrayLength(buffer);
    if (recebidos < necessarios)
      throw Exception(Format("The image holds %lld bytes, %d x %d needs %lld", static_cast<long long>(recebidos),
                             largura, altura, static_cast<long long>(necessarios)));

    const bool logLigado = LogImagensLigado();
    TPixelsJava pixels(env, buffer);
    if (logLigado) GravarLogImagem(PegPastaBiblioteca("imglog"), AgoraLocal(), largura, altura, pixels.Dados());

    auto config = reinterpret_cast<TOmExtractorConfiguration*>(static_cast<intptr_t>(handle));
    std::unique_ptr<TOmTemplate> modelo =
        g_motor->ExtractMinutiae(pixels.Dados(), largura, altura, kResolucaoExtracao, config);
    if (!modelo) throw Exception("The extraction engine gave no template for the image");

    const int32_t tamanho = modelo->ExportNFRecord(nullptr, largura, altura, kResolucaoExtracao, kResolucaoExtracao,
                                                   ordinal1, ordinal2, true, true);
    if (tamanho <= 0) throw Exception(Format("The extraction engine reported a template of %d bytes", tamanho));
    std::vector<uint8_t> dados(static_cast<size_t>(tamanho));
    const int32_t escritos = modelo->ExportNFRecord(dados.data(), largura, altura, kResolucaoExtracao,
                                                    kResolucaoExtracao, ordinal1, ordinal2, true, true);
    if (escritos < 0 || escritos > tamanho)
      throw Exception(Format("The extraction engine wrote %d bytes of a %d-byte template", escritos, tamanho));
    return CriarArrayBytes(&env, dados.data(), tamanho);
  });
}
