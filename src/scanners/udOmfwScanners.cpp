#include "scanners/udOmfwScanners.h"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "jni/Frames.h"
#include "jni/udBibJNI.h"
#include "jni/udBibRotinasJni.h"
#include "readers/GestorLeitores.h"
#include "readers/OmbrelFP.h"
#include "support/CicloDeVida.h"
#include "support/Formatar.h"
#include "support/udBibRotinas.h"
#include "support/udBibThreads.h"

namespace {

const char* const kImageScanned = "ImageScanned";

// Handles are addresses: the storage of a destroyed scanner object is kept
// for the life of the process (a few hundred bytes per teardown), so a stale
// handle can never name a newer scanner object.
struct TDescartarScanner {
  void operator()(TInnerScanner* p) const {
    if (!p) return;
    p->~TInnerScanner();
    static auto* retidos = new std::vector<void*>();
    retidos->push_back(p);  // only under the scanner lock
  }
};
using TScannerPtr = std::unique_ptr<TInnerScanner, TDescartarScanner>;

TScannerPtr NovoScanner(const std::string& numSerie, TAPI api) {
  void* mem = std::malloc(sizeof(TInnerScanner));
  if (!mem) throw std::bad_alloc();
  try {
    return TScannerPtr(new (mem) TInnerScanner(numSerie, api));
  } catch (...) {
    std::free(mem);
    throw;
  }
}

// Never destroyed: scanner objects own threads, which must not be torn down by
// static destructors at process exit.
std::vector<TScannerPtr>& ListaScanners() {
  static auto* lista = new std::vector<TScannerPtr>();
  return *lista;
}

jclass ClasseDe(TJNIEnv& env, jclass scannerClass, const char* metodo) {
  jmethodID id = env.GetStaticMethodID(scannerClass, metodo, "()Ljava/lang/Class;");
  if (!id) throw EJNIError(Format("Method '%s' of type '()Ljava/lang/Class;' not found", metodo));
  jobject c = env.CallStaticObjectMethod(scannerClass, id, {});
  if (!c || env.ExceptionCheck()) throw EJNIError(Format("Method '%s' returned no class", metodo));
  return static_cast<jclass>(c);
}

struct TClassesEvento {
  jclass evento = nullptr;
  jclass tipo = nullptr;
  jclass imagem = nullptr;
};

// Builds one ScanEvent and hands it to fireEvent. Runs inside its own local
// frame, so every reference it makes is gone when the frame is popped.
void Entregar(TJNIEnv& env, jobject scanner, const TClassesEvento& classes, const std::string& tipo,
              const TGrayImage* imagem) {
  auto e = CriarObjetoJava(&env, classes.evento, "", {});
  jobject k = PegValorEnum(&env, classes.tipo, tipo);
  e->DefCampoObjeto("kind", k, "");
  if (tipo == kImageScanned) {
    int32_t w = imagem->Width, h = imagem->Height;
    auto i = CriarObjetoJava(&env, classes.imagem, "II", {w, h});
    auto b = static_cast<jbyteArray>(i->PegCampoObjeto("buffer", "[B"));
    int64_t total = static_cast<int64_t>(w) * h;
    if (!b || env.GetArrayLength(b) < total) throw EJNIError("Image buffer smaller than the image");
    // Bits already holds the rows top first, row r at r x w: one region write.
    if (total > 0)
      env.SetByteArrayRegion(b, 0, static_cast<jsize>(total), reinterpret_cast<const jbyte*>(imagem->Bits.data()));
    e->DefCampoObjeto("image", i->Objeto(), "");
  }
  ChamarMetodoVoid(&env, scanner, "fireEvent", AssinaturaClasse("ardivex/scanners/Scanner$ScanEvent"),
                   {e->Objeto()});
}

// The VM comes from the caller of the start (GetJavaVM on its environment):
// looking for the VM's module by name would miss a VM that is not called
// "jvm", or a host that embeds one.
// A null vm (tests of the capture side alone) delivers nothing.
void RotinaEventos(const std::shared_ptr<TCanalEventos>& canal, jobject scanner, JavaVM* vm) {
  if (!vm) return;
  JNIEnv* jenv = nullptr;
  if (vm->AttachCurrentThread(reinterpret_cast<void**>(&jenv), nullptr) != JNI_OK || !jenv) return;
  try {
    TJNIEnv env(jenv);
    try {
      // Looked up once per start; these few references live as long as the thread.
      jclass c = env.GetObjectClass(scanner);
      TClassesEvento classes;
      classes.evento = ClasseDe(env, c, "getEventClass");
      classes.tipo = ClasseDe(env, c, "getEventKindClass");
      classes.imagem = ClasseDe(env, c, "getImageClass");
      while (canal->Aguardar()) {
        std::string tipo;
        std::unique_ptr<TGrayImage> imagem = canal->Retirar(tipo);
        if (tipo.empty() || (tipo == kImageScanned && !imagem)) continue;
        if (env.PushLocalFrame(32) != 0) throw EJNIError("Out of memory for local references");
        try {
          Entregar(env, scanner, classes, tipo, imagem.get());
        } catch (...) {
          if (env.ExceptionCheck()) env.ExceptionClear();
          env.PopLocalFrame(nullptr);
          throw;
        }
        // A listener's exception is shown, then the next image is delivered.
        if (env.ExceptionCheck()) {
          env.ExceptionDescribe();
          env.ExceptionClear();
        }
        env.PopLocalFrame(nullptr);
      }
    } catch (...) {
      // The routine ends quietly; the scanner object stays capturing (orphaned).
    }
    if (env.ExceptionCheck()) env.ExceptionClear();
    env.DeleteGlobalRef(scanner);
  } catch (...) {
  }
  vm->DetachCurrentThread();
}

bool ComecaComSemCaixa(const std::string& s, const std::string& prefixo) {
  return s.size() >= prefixo.size() && TextosIguaisSemCaixa(s.substr(0, prefixo.size()), prefixo);
}

}  // namespace

void TCanalEventos::Publicar(const std::string& tipo, std::unique_ptr<TGrayImage> imagem) {
  {
    std::lock_guard<std::mutex> g(FTrava);
    FSEventKind = tipo;
    FGrayImage.swap(imagem);
  }
  imagem.reset();  // the superseded copy, released outside the lock
  FCondHasImage.Sinalizar();
}

bool TCanalEventos::Aguardar() {
  FCondHasImage.Esperar();
  return FAberto.load();
}

std::unique_ptr<TGrayImage> TCanalEventos::Retirar(std::string& tipo) {
  std::lock_guard<std::mutex> g(FTrava);
  tipo = FSEventKind;
  return std::move(FGrayImage);
}

void TCanalEventos::Encerrar() {
  FAberto = false;
  FCondHasImage.Sinalizar();
}

TInnerScanner::TInnerScanner(const std::string& numSerie, TAPI api) : FNumSerie(numSerie), FAPI(api) {
  FNeoFP = std::make_unique<TOmbrelFP>();
  FNeoFP->SetIndiceLeitor(-1);
  FNeoFP->SetNumSerieLeitor(numSerie);
  FNeoFP->OnCapturou = [this](TOmbrelFP*, int32_t) { CapturaHandler(); };
}

TInnerScanner::~TInnerScanner() {
  try {
    StopCapturing();
  } catch (...) {
  }
  FNeoFP.reset();
}

void TInnerScanner::CapturaHandler() {
  std::shared_ptr<TCanalEventos> canal;
  {
    std::lock_guard<std::mutex> g(FTravaCanal);
    canal = FCanal;
  }
  if (!canal) return;  // not capturing: nobody would deliver it
  TGrayImage* atual = FNeoFP->ImagemAtual();
  canal->Publicar(kImageScanned, atual ? std::make_unique<TGrayImage>(*atual) : nullptr);
}

bool TInnerScanner::StartCapturing(jobject ojScanner, JavaVM* vm) {
  if (FCapturing) return false;
  FNeoFP->SetModoOperacao(moDesenvolvimento);
  if (ComecaComSemCaixa(FNeoFP->NumSerieLeitor(), "cis\\")) {
    try {
      FNeoFP->EnviarComandoStr("LFD", "2,3");
    } catch (...) {
      // Not capturing after a failed start: the reader is released again.
      try {
        FNeoFP->SetModoOperacao(moInativo);
      } catch (...) {
      }
      throw;
    }
  }
  // A fresh channel per run: images reported before this start are dropped,
  // and a run that is still finishing never shares its signal with this one.
  auto canal = std::make_shared<TCanalEventos>();
  {
    std::lock_guard<std::mutex> g(FTravaCanal);
    FCanal = canal;
  }
  try {
    FThreadEventos = std::make_unique<TThreadGenerica>(
        [canal, vm](TThreadGenerica& thread) {
          std::shared_ptr<TCanalEventos> meu = canal;  // the thread object may go before the routine ends
          RotinaEventos(meu, static_cast<jobject>(thread.Parametro()), vm);
        },
        false, ojScanner);
  } catch (...) {
    {
      std::lock_guard<std::mutex> g(FTravaCanal);
      FCanal.reset();
    }
    try {
      FNeoFP->SetModoOperacao(moInativo);
    } catch (...) {
    }
    throw;
  }
  FCapturing = true;
  return true;
}

void TInnerScanner::StopCapturing(std::unique_ptr<TThreadGenerica>* aguardar) {
  FCapturing = false;
  std::shared_ptr<TCanalEventos> canal;
  {
    std::lock_guard<std::mutex> g(FTravaCanal);
    canal = std::move(FCanal);
  }
  if (canal) canal->Encerrar();
  if (FThreadEventos) {
    // Destroying the thread object waits for the routine, except on the event
    // thread itself (a listener stopping its own scanner), where it lets go.
    if (aguardar) *aguardar = std::move(FThreadEventos);
    else FThreadEventos.reset();
  }
  FNeoFP->SetModoOperacao(moInativo);
}

int32_t ContarLeitores() { return TotalReaderCount(); }

std::string IdLeitorNoIndice(int32_t index) { return SerialAtIndex(index); }

TInnerScanner* PegScanner(int32_t index) {
  int32_t n = ContarLeitores();
  if (index < 0) return nullptr;
  std::string id = index < n ? IdLeitorNoIndice(index) : std::string();
  if (id.empty()) return nullptr;
  auto& lista = ListaScanners();
  for (auto& s : lista)
    if (s && s->NumSerie() == id && s->API() == API_OM) return s.get();
  lista.push_back(NovoScanner(id, API_OM));
  return lista.back().get();
}

TInnerScanner* ScannerDoHandle(jlong handle) {
  auto* p = reinterpret_cast<TInnerScanner*>(static_cast<intptr_t>(handle));
  auto& lista = ListaScanners();
  if (p)
    for (auto& s : lista)
      if (s.get() == p) return p;
  throw Exception(Format("Invalid scanner handle: %lld", static_cast<long long>(handle)));
}

void FinalizarScanners(std::vector<std::unique_ptr<TThreadGenerica>>* aguardar) {
  auto& lista = ListaScanners();
  for (auto& s : lista) {
    if (!s) continue;
    std::unique_ptr<TThreadGenerica> t;
    s->StopCapturing(aguardar ? &t : nullptr);
    if (t) aguardar->push_back(std::move(t));
    s.reset();
  }
  lista.clear();
}

namespace {
// Scanner objects are stopped while the library's code is still there.
TFinalizacao g_pararScanners(TMomentoFinalizacao::JvmDescarregando, [] {
  std::lock_guard<std::recursive_mutex> g(TravaScanners());
  FinalizarScanners(nullptr);
});
}  // namespace

// ---- exports ----

extern "C" JNIEXPORT jint JNICALL Java_ardivex_scanners_ScannerMan_innerGetScannerCount(JNIEnv* env,
                                                                                       jobject receiver) {
  return frames::Monitor(env, receiver, [](TJNIEnv&) -> jint { return ContarLeitores(); });
}

extern "C" JNIEXPORT jlong JNICALL Java_ardivex_scanners_ScannerMan_innerGetScanner(JNIEnv* env, jobject receiver,
                                                                                   jint index) {
  return frames::Monitor(env, receiver, [index](TJNIEnv&) -> jlong {
    return static_cast<jlong>(reinterpret_cast<intptr_t>(PegScanner(index)));
  });
}

extern "C" JNIEXPORT void JNICALL Java_ardivex_scanners_ScannerMan_uninitialize(JNIEnv* env, jobject /*receiver*/) {
  std::vector<std::unique_ptr<TThreadGenerica>> aguardar;
  frames::Locked(env, [&aguardar](TJNIEnv&) { FinalizarScanners(&aguardar); });
  // Event threads are waited for without the scanner lock, so that a listener
  // calling into the library meanwhile can finish.
  try {
    aguardar.clear();
  } catch (...) {
  }
}

extern "C" JNIEXPORT void JNICALL Java_ardivex_scanners_Scanner_innerStartCapturing(JNIEnv* env, jobject receiver,
                                                                                   jlong handle) {
  frames::Converting(env, [receiver, handle](TJNIEnv& e) {
    TInnerScanner* s = ScannerDoHandle(handle);
    JavaVM* vm = nullptr;
    if (e.Env()->GetJavaVM(&vm) != JNI_OK || !vm) throw Exception("Could not get the Java VM");
    jobject ref = e.NewGlobalRef(receiver);
    if (!ref) throw Exception("Could not create a global reference to the scanner");
    bool tomou = false;
    try {
      tomou = s->StartCapturing(ref, vm);
    } catch (...) {
      e.DeleteGlobalRef(ref);
      throw;
    }
    if (!tomou) e.DeleteGlobalRef(ref);  // already capturing: the second start changes nothing
  });
}

extern "C" JNIEXPORT void JNICALL Java_ardivex_scanners_Scanner_innerStopCapturing(JNIEnv* env, jobject /*receiver*/,
                                                                                  jlong handle) {
  std::unique_ptr<TThreadGenerica> aguardar;
  frames::Converting(env, [handle, &aguardar](TJNIEnv&) { ScannerDoHandle(handle)->StopCapturing(&aguardar); });
  try {
    aguardar.reset();
  } catch (...) {
  }
}

extern "C" JNIEXPORT jboolean JNICALL Java_ardivex_scanners_Scanner_innerIsCapturing(JNIEnv* env, jobject /*receiver*/,
                                                                                    jlong handle) {
  // -1: the handle names no live scanner object.
  int r = frames::BareLocked([handle]() -> int {
    auto& lista = ListaScanners();
    auto* p = reinterpret_cast<TInnerScanner*>(static_cast<intptr_t>(handle));
    for (auto& s : lista)
      if (p && s.get() == p) return p->IsCapturing() ? 1 : 0;
    return -1;
  });
  if (r < 0) {
    try {
      TJNIEnv e(env);
      LancarExcecaoJava(e, kClasseScanManException,
                        Format("Invalid scanner handle: %lld", static_cast<long long>(handle)));
    } catch (...) {
    }
    return JNI_FALSE;
  }
  return r ? JNI_TRUE : JNI_FALSE;
}

extern "C" JNIEXPORT jstring JNICALL Java_ardivex_scanners_Scanner_innerGetID(JNIEnv* env, jobject /*receiver*/,
                                                                             jlong handle) {
  return frames::Locked(env, [handle](TJNIEnv& e) -> jstring {
    return e.StringToJString(ScannerDoHandle(handle)->NeoFP().NumSerieLeitor());
  });
}
