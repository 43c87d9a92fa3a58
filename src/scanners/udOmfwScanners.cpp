#include "scanners/udOmfwScanners.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <map>
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

// How often a run without images tells the Java scanner so (fireIdle): it
// learns from the pause that a finger was lifted from a reader that delivers
// images only while a finger is on it.
constexpr std::chrono::milliseconds kIntervaloOcioso{100};

// Scanner.fireIdle, when the scanner's class has it (an older one has not:
// its run then waits without time limit, as before).
jmethodID MetodoOcioso(TJNIEnv& env, jclass c) {
  jmethodID id = env.GetMethodID(c, "fireIdle", "()V");
  if (!id) env.ClearLookupFailure();
  return id;
}

// One call of fireIdle in a local frame of its own; a listener's exception is
// shown and cleared, as after an image.
void AvisarOcioso(TJNIEnv& env, jobject scanner, jmethodID ocioso) {
  if (env.PushLocalFrame(8) != 0) throw EJNIError("Out of memory for local references");
  env.CallVoidMethod(scanner, ocioso, {});
  if (env.ExceptionCheck()) {
    env.ExceptionDescribe();
    env.ExceptionClear();
  }
  env.PopLocalFrame(nullptr);
}

// A scanner object released by a teardown: its storage, and the reader it
// was for, so that a call through its stale handle can say what happened.
struct TScannerLiberado {
  const void* Endereco;
  std::string NumSerie;
};

// Only under the scanner lock; never destroyed, as the scanner list.
std::vector<TScannerLiberado>& ScannersLiberados() {
  static auto* liberados = new std::vector<TScannerLiberado>();
  return *liberados;
}

// Handles are addresses: the storage of a destroyed scanner object is kept
// for the life of the process (a few hundred bytes per teardown), so a stale
// handle can never name a newer scanner object.
struct TDescartarScanner {
  void operator()(TInnerScanner* p) const {
    if (!p) return;
    std::string numSerie;
    try {
      numSerie = p->NumSerie();
    } catch (...) {
    }
    p->~TInnerScanner();
    try {
      ScannersLiberados().push_back({p, std::move(numSerie)});
    } catch (...) {
      // the storage is kept all the same; only the message is lost
    }
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
  if (!id) {
    env.ClearLookupFailure();
    throw EJNIError(Format("Method '%s' of type '()Ljava/lang/Class;' not found", metodo));
  }
  jobject c = env.CallStaticObjectMethod(scannerClass, id, {});
  if (!c || env.ExceptionCheck()) throw EJNIError(Format("Method '%s' returned no class", metodo));
  return static_cast<jclass>(c);
}

struct TClassesEvento {
  jclass evento = nullptr;
  jclass tipo = nullptr;
  jclass imagem = nullptr;
};

// The image's pixels into the image object's buffer. Bits already holds the
// rows top first, row r at r x w: one region write.
void EscreverPixels(TJNIEnv& env, jbyteArray b, const TGrayImage& imagem) {
  const int64_t total = static_cast<int64_t>(imagem.Width) * imagem.Height;
  if (!b || env.GetArrayLength(b) < total) throw EJNIError("Image buffer smaller than the image");
  if (total > 0)
    env.SetByteArrayRegion(b, 0, static_cast<jsize>(total), reinterpret_cast<const jbyte*>(imagem.Bits.data()));
}

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
    EscreverPixels(env, static_cast<jbyteArray>(i->PegCampoObjeto("buffer", "[B")), *imagem);
    e->DefCampoObjeto("image", i->Objeto(), "");
  }
  ChamarMetodoVoid(&env, scanner, "fireEvent", AssinaturaClasse("ardivex/scanners/Scanner$ScanEvent"),
                   {e->Objeto()});
}

// What a delivery looks up, taken once per run after its first delivery went
// through: a run's classes and scanner never change, so every later lookup
// would find the same members and the same kind constant again.
struct TAtalhosEntrega {
  bool tentado = false;
  jmethodID novoEvento = nullptr;
  jmethodID novaImagem = nullptr;
  jmethodID fireEvent = nullptr;
  jfieldID kind = nullptr;
  jfieldID image = nullptr;
  jfieldID buffer = nullptr;
  jobject imageScanned = nullptr;  // global reference to the kind constant

  bool Prontos() const { return imageScanned != nullptr; }

  // Looks up what does not depend on the objects of a delivery; on any
  // failure the run keeps delivering through the helpers. The two fields set
  // with the class of their value are looked up by the first delivery that
  // uses them, from that value.
  void Preparar(TJNIEnv& env, jobject scanner, const TClassesEvento& classes) {
    tentado = true;
    try {
      novoEvento = env.GetMethodID(classes.evento, "<init>", "()V");
      novaImagem = novoEvento ? env.GetMethodID(classes.imagem, "<init>", "(II)V") : nullptr;
      buffer = novaImagem ? env.GetFieldID(classes.imagem, "buffer", "[B") : nullptr;
      jclass c = buffer ? env.GetObjectClass(scanner) : nullptr;
      fireEvent = c ? env.GetMethodID(c, "fireEvent", "(Lardivex/scanners/Scanner$ScanEvent;)V") : nullptr;
      if (!fireEvent) {
        env.ClearLookupFailure();
        return;
      }
      jobject k = PegValorEnum(&env, classes.tipo, kImageScanned);
      if (k) imageScanned = env.NewGlobalRef(k);
    } catch (...) {
      env.ClearLookupFailure();
    }
  }

  void Liberar(TJNIEnv& env) {
    if (imageScanned) env.DeleteGlobalRef(imageScanned);
    imageScanned = nullptr;
  }
};

// Entregar for an image, with the members looked up before: the same objects
// and the same calls, without asking for each member by name again.
void EntregarImagem(TJNIEnv& env, jobject scanner, const TClassesEvento& classes, TAtalhosEntrega& a,
                    const TGrayImage* imagem) {
  jobject e = env.NewObject(classes.evento, a.novoEvento, {});
  if (!e) throw EJNIError("Could not create object with constructor '()V'");
  if (!a.kind) a.kind = IdCampoParaValor(&env, classes.evento, "kind", a.imageScanned);
  env.SetObjectField(e, a.kind, a.imageScanned);
  int32_t w = imagem->Width, h = imagem->Height;
  jobject i = env.NewObject(classes.imagem, a.novaImagem, {w, h});
  if (!i) throw EJNIError("Could not create object with constructor '(II)V'");
  EscreverPixels(env, static_cast<jbyteArray>(env.GetObjectField(i, a.buffer)), *imagem);
  if (!a.image) a.image = IdCampoParaValor(&env, classes.evento, "image", i);
  env.SetObjectField(e, a.image, i);
  env.CallVoidMethod(scanner, a.fireEvent, {e});
}

}  // namespace

// Who waits for which run: one process-wide lock and condition for the end of
// every run, and for each thread waiting in AguardarFimDaExecucao the run it
// waits for. Event threads wait for runs of other scanners when their
// listeners stop or start those; following the chain of waits finds a
// listener that would end up waiting for itself.
struct TEsperaExecucoes {
  std::mutex trava;
  std::condition_variable mudou;
  std::map<std::thread::id, TCanalEventos*> esperas;

  static TEsperaExecucoes& Get() {
    static auto* e = new TEsperaExecucoes();  // event threads may outlive static destructors
    return *e;
  }

  void Iniciou(TCanalEventos& c) {
    std::lock_guard<std::mutex> g(trava);
    c.FIdThread = std::this_thread::get_id();
  }

  // Called last on the event thread: from here on it touches no Java object.
  void Terminou(TCanalEventos& c) {
    std::unique_ptr<TThreadGenerica> propria;
    {
      std::lock_guard<std::mutex> g(trava);
      c.FTerminou = true;
      c.FAnterior.reset();
      propria = std::move(c.FOrfa);
    }
    mudou.notify_all();
    propria.reset();  // on its own thread: the object lets the thread go
  }

  // A run started by a listener of the scanner's previous run (which stopped
  // and restarted its own scanner) delivers only once that listener returned.
  // False when this run was stopped meanwhile.
  bool AguardarAnterior(TCanalEventos& c) {
    std::unique_lock<std::mutex> g(trava);
    mudou.wait(g, [&] { return !c.FAnterior || c.FAnterior->FTerminou || !c.Aberto(); });
    c.FAnterior.reset();
    return c.Aberto();
  }

  // Still running, on another thread than the caller's.
  bool EmCursoNoutraThread(const TCanalEventos& c) {
    std::lock_guard<std::mutex> g(trava);
    return !c.FTerminou && c.FIdThread != std::this_thread::get_id();
  }

  void DefinirAnterior(TCanalEventos& nova, const std::shared_ptr<TCanalEventos>& anterior) {
    std::lock_guard<std::mutex> g(trava);
    if (anterior && !anterior->FTerminou) nova.FAnterior = anterior;
  }

  void Fechou() {
    { std::lock_guard<std::mutex> g(trava); }
    mudou.notify_all();
  }

  TFimEspera Aguardar(TCanalEventos& c) {
    const auto eu = std::this_thread::get_id();
    std::unique_lock<std::mutex> g(trava);
    if (c.FTerminou) return TFimEspera::Terminou;
    if (c.FIdThread == eu) return TFimEspera::PropriaThread;
    // A thread waits for at most one run, so the chain has no branches; its
    // length is bounded by the number of waiting threads.
    TCanalEventos* elo = &c;
    for (size_t passos = 0; elo && passos <= esperas.size(); ++passos) {
      auto it = esperas.find(elo->FIdThread);
      if (it == esperas.end()) break;
      elo = it->second;
      if (elo->FTerminou) break;
      if (elo->FIdThread == eu) return TFimEspera::Impasse;
    }
    esperas[eu] = &c;
    mudou.wait(g, [&] { return c.FTerminou; });
    esperas.erase(eu);
    return TFimEspera::Terminou;
  }

  void Descartar(TExecucaoPendente p) {
    if (!p.thread) return;
    if (p.canal) {
      std::lock_guard<std::mutex> g(trava);
      if (!p.canal->FTerminou && p.canal->FIdThread != std::this_thread::get_id()) {
        p.canal->FOrfa = std::move(p.thread);
        return;
      }
    }
    p.thread.reset();  // the run has ended (a short join) or this is its own thread (let go)
  }
};

TExecucaoPendente::TExecucaoPendente() = default;
TExecucaoPendente::TExecucaoPendente(TExecucaoPendente&&) noexcept = default;
TExecucaoPendente& TExecucaoPendente::operator=(TExecucaoPendente&&) noexcept = default;
// Whatever path drops a run, its thread object never joins a running thread.
TExecucaoPendente::~TExecucaoPendente() {
  if (thread) DescartarExecucao(std::move(*this));
}

TFimEspera AguardarFimDaExecucao(const std::shared_ptr<TCanalEventos>& canal) {
  if (!canal) return TFimEspera::Terminou;
  return TEsperaExecucoes::Get().Aguardar(*canal);
}

void DescartarExecucao(TExecucaoPendente p) { TEsperaExecucoes::Get().Descartar(std::move(p)); }

namespace {

// The VM comes from the caller of the start (GetJavaVM on its environment):
// looking for the VM's module by name would miss a VM that is not called
// "jvm", or a host that embeds one.
// A null vm (tests of the capture side alone) delivers nothing.
void RotinaEventos(const std::shared_ptr<TCanalEventos>& canal, jobject scanner, jclass classeEvento, JavaVM* vm) {
  TEsperaExecucoes& espera = TEsperaExecucoes::Get();
  espera.Iniciou(*canal);
  struct TFim {
    TEsperaExecucoes& espera;
    TCanalEventos& canal;
    ~TFim() { espera.Terminou(canal); }
  } fim{espera, *canal};
  if (!vm) return;
  JNIEnv* jenv = nullptr;
  if (vm->AttachCurrentThread(reinterpret_cast<void**>(&jenv), nullptr) != JNI_OK || !jenv) return;
  try {
    TJNIEnv env(jenv);
    TAtalhosEntrega atalhos;
    try {
      if (!espera.AguardarAnterior(*canal)) throw EJNIError("Stopped before the first delivery");
      // Looked up once per start; these few references live as long as the thread.
      jclass c = env.GetObjectClass(scanner);
      TClassesEvento classes;
      classes.evento = classeEvento;
      classes.tipo = ClasseDe(env, c, "getEventKindClass");
      classes.imagem = ClasseDe(env, c, "getImageClass");
      const jmethodID ocioso = MetodoOcioso(env, c);
      bool entregou = false;
      for (;;) {
        bool publicado = true;
        if (!(ocioso ? canal->Aguardar(kIntervaloOcioso, publicado) : canal->Aguardar())) break;
        if (!publicado) {
          AvisarOcioso(env, scanner, ocioso);
          continue;
        }
        std::string tipo;
        std::unique_ptr<TGrayImage> imagem = canal->Retirar(tipo);
        if (tipo.empty() || (tipo == kImageScanned && !imagem)) continue;
        if (env.PushLocalFrame(32) != 0) throw EJNIError("Out of memory for local references");
        try {
          if (entregou && !atalhos.tentado) atalhos.Preparar(env, scanner, classes);
          if (tipo == kImageScanned && atalhos.Prontos())
            EntregarImagem(env, scanner, classes, atalhos, imagem.get());
          else
            Entregar(env, scanner, classes, tipo, imagem.get());
          entregou = true;
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
    atalhos.Liberar(env);
    env.DeleteGlobalRef(classeEvento);
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

bool TCanalEventos::Aguardar(std::chrono::milliseconds limite, bool& publicado) {
  publicado = FCondHasImage.Esperar(limite);
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
  TEsperaExecucoes::Get().Fechou();
}

TInnerScanner::TInnerScanner(const std::string& numSerie, TAPI api) : FNumSerie(numSerie), FAPI(api) {
  FNeoFP = std::make_unique<TOmbrelFP>();
  FNeoFP->SetIndiceLeitor(-1);
  FNeoFP->SetNumSerieLeitor(numSerie);
  FNeoFP->OnCapturou = [this](TOmbrelFP*, int32_t) { CapturaHandler(); };
}

TInnerScanner::~TInnerScanner() {
  // Teardown has taken the run already; whatever is left is never waited for here.
  TExecucaoPendente p;
  try {
    StopCapturing(&p);
  } catch (...) {
  }
  DescartarExecucao(std::move(p));
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

std::shared_ptr<TCanalEventos> TInnerScanner::ExecucaoEmCurso() const {
  if (!FExecucao || !TEsperaExecucoes::Get().EmCursoNoutraThread(*FExecucao)) return nullptr;
  return FExecucao;
}

bool TInnerScanner::StartCapturing(jobject ojScanner, JavaVM* vm, jclass eventClass) {
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
  auto canal = std::make_shared<TCanalEventos>(FNumSerie);
  // Only a run of this very thread can still be going (a listener that
  // stopped and restarts its own scanner): the new run outlasts it first.
  TEsperaExecucoes::Get().DefinirAnterior(*canal, FExecucao);
  {
    std::lock_guard<std::mutex> g(FTravaCanal);
    FCanal = canal;
  }
  std::unique_ptr<TThreadGenerica> anterior = std::move(FThreadEventos);
  try {
    FThreadEventos = std::make_unique<TThreadGenerica>(
        [canal, vm, eventClass](TThreadGenerica& thread) {
          std::shared_ptr<TCanalEventos> meu = canal;  // the thread object may go before the routine ends
          RotinaEventos(meu, static_cast<jobject>(thread.Parametro()), eventClass, vm);
        },
        false, ojScanner);
  } catch (...) {
    {
      std::lock_guard<std::mutex> g(FTravaCanal);
      FCanal.reset();
    }
    FThreadEventos = std::move(anterior);
    try {
      FNeoFP->SetModoOperacao(moInativo);
    } catch (...) {
    }
    throw;
  }
  TExecucaoPendente velha;
  velha.canal = std::move(FExecucao);
  velha.thread = std::move(anterior);
  FExecucao = canal;
  FCapturing = true;
  DescartarExecucao(std::move(velha));  // ended, or this thread's own: never a wait
  return true;
}

void TInnerScanner::StopCapturing(TExecucaoPendente* pendente) {
  FCapturing = false;
  std::shared_ptr<TCanalEventos> canal;
  {
    std::lock_guard<std::mutex> g(FTravaCanal);
    canal = std::move(FCanal);
  }
  if (canal) canal->Encerrar();
  TExecucaoPendente aqui;
  TExecucaoPendente& p = pendente ? *pendente : aqui;
  p.canal = FExecucao;
  p.thread = std::move(FThreadEventos);
  struct TAguardarAqui {
    TExecucaoPendente* p;
    ~TAguardarAqui() {
      if (p) AguardarFimDaExecucao(p->canal);  // the thread object then goes without waiting again
    }
  } aguardar{pendente ? nullptr : &aqui};
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

// The live scanner object of a handle, or null. Under the scanner lock.
TInnerScanner* ScannerVivo(jlong handle) {
  auto* p = reinterpret_cast<TInnerScanner*>(static_cast<intptr_t>(handle));
  if (p)
    for (auto& s : ListaScanners())
      if (s.get() == p) return p;
  return nullptr;
}

// Why a handle names no live scanner object, in the words of the Java API.
// Under the scanner lock.
std::string ScannerInvalido(jlong handle) {
  const void* p = reinterpret_cast<const void*>(static_cast<intptr_t>(handle));
  const auto& liberados = ScannersLiberados();
  for (auto it = liberados.rbegin(); it != liberados.rend(); ++it)
    if (p && it->Endereco == p)
      return Format("The scanner of %s was released by ScannerMan.uninitialize(); ask ScannerMan for the "
                    "reader's scanner again",
                    it->NumSerie.c_str());
  return Format("No scanner has the handle %lld; scanners come from ScannerMan", static_cast<long long>(handle));
}

TInnerScanner* ScannerDoHandle(jlong handle) {
  if (TInnerScanner* p = ScannerVivo(handle)) return p;
  throw Exception(ScannerInvalido(handle));
}

void FinalizarScanners(std::vector<TExecucaoPendente>* pendentes) {
  auto& lista = ListaScanners();
  for (auto& s : lista) {
    if (!s) continue;
    TExecucaoPendente p;
    try {
      s->StopCapturing(&p);
    } catch (...) {
      if (pendentes) pendentes->push_back(std::move(p));
      else AguardarFimDaExecucao(p.canal);
      throw;
    }
    if (pendentes) pendentes->push_back(std::move(p));
    else AguardarFimDaExecucao(p.canal);
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

// Waits for runs after the scanner lock was given up; a run that cannot be
// waited for (see AguardarFimDaExecucao) ends on its own. Returns the
// failure message of the first such run, or empty.
std::string AguardarExecucoes(std::vector<TExecucaoPendente>& pendentes) {
  std::string falha;
  for (auto& p : pendentes) {
    if (AguardarFimDaExecucao(p.canal) == TFimEspera::Impasse && falha.empty())
      falha = Format(
          "Waiting for the listeners of scanner %s would never end: they are waiting, from another listener, for "
          "this thread",
          p.canal->NumSerie().c_str());
    DescartarExecucao(std::move(p));
  }
  pendentes.clear();
  return falha;
}

// Reports a failure found after the frame had ended (the lock is given up
// by then); an exception already pending from the frame wins.
void LancarSeNenhuma(JNIEnv* jenv, const std::string& falha) {
  if (falha.empty()) return;
  try {
    TJNIEnv env(jenv);
    if (!env.ExceptionCheck()) LancarExcecaoJava(env, kClasseScanManException, falha);
  } catch (...) {
  }
}

// The event class of a Scanner, asked once per start: its objects are handed
// to fireEvent as ScanEvents, so it must be Scanner$ScanEvent or a subclass.
// Returns a new global reference.
jclass ClasseEventoVerificada(TJNIEnv& env, jobject scanner) {
  jclass c = env.GetObjectClass(scanner);
  if (!c) throw EJNIError("Class of the scanner not found");
  jclass evento = ClasseDe(env, c, "getEventClass");
  env.DeleteLocalRef(c);
  jclass base = env.FindClass("ardivex/scanners/Scanner$ScanEvent");
  if (!base) throw EJNIError("Class 'ardivex/scanners/Scanner$ScanEvent' not found");
  bool serve = env.IsAssignableFrom(evento, base);
  env.DeleteLocalRef(base);
  if (!serve) {
    std::string nome = ChamarMetodoString(&env, evento, "getName", "", {});
    throw EJNIError(Format("The event class %s is not ardivex.scanners.Scanner$ScanEvent or a subclass of it",
                           nome.c_str()));
  }
  jclass global = static_cast<jclass>(env.NewGlobalRef(evento));
  env.DeleteLocalRef(evento);
  if (!global) throw EJNIError("Could not create a global reference to the event class");
  return global;
}

// After a complete teardown the Java side lets go of its Scanner objects
// (ScannerMan keeps each one for as long as its handle is valid).
void AvisarJava(JNIEnv* jenv) {
  try {
    TJNIEnv env(jenv);
    if (env.ExceptionCheck()) return;
    jclass c = env.FindClass("ardivex/scanners/ScannerMan");
    if (!c) {
      env.ExceptionClear();
      return;
    }
    jmethodID m = env.GetStaticMethodID(c, "released", "()V");
    if (m) env.CallStaticVoidMethod(c, m, {});
    else env.ClearLookupFailure();  // an older ScannerMan without it: nothing to tell
    env.DeleteLocalRef(c);
  } catch (...) {
  }
}
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
  std::vector<TExecucaoPendente> pendentes;
  bool completa = false;
  frames::Locked(env, [&](TJNIEnv&) {
    FinalizarScanners(&pendentes);
    completa = true;
  });
  // Event threads are waited for without the scanner lock, on every path, so
  // that a listener calling into the library meanwhile can finish.
  std::string falha;
  try {
    falha = AguardarExecucoes(pendentes);
  } catch (...) {
  }
  LancarSeNenhuma(env, falha);
  if (completa) AvisarJava(env);
}

extern "C" JNIEXPORT void JNICALL Java_ardivex_scanners_Scanner_innerStartCapturing(JNIEnv* env, jobject receiver,
                                                                                   jlong handle) {
  // The Scanner's own code runs here, before the lock is taken.
  jclass evento = nullptr;
  try {
    TJNIEnv e(env);
    evento = frames::Converter(e, kClasseScanManException, nullptr,
                               [receiver](TJNIEnv& x) { return ClasseEventoVerificada(x, receiver); });
  } catch (...) {
  }
  if (!evento) return;
  // A start waits for the scanner's previous run (a listener still busy after
  // a stop) outside the lock, then looks again: another thread may have
  // started and stopped it meanwhile.
  std::string falha;
  for (;;) {
    std::shared_ptr<TCanalEventos> anterior;
    frames::Converting(env, [receiver, handle, &anterior, &evento](TJNIEnv& e) {
      TInnerScanner* s = ScannerDoHandle(handle);
      if (s->IsCapturing()) return;  // already capturing: the second start changes nothing
      anterior = s->ExecucaoEmCurso();
      if (anterior) return;
      JavaVM* vm = nullptr;
      if (e.Env()->GetJavaVM(&vm) != JNI_OK || !vm) throw Exception("Could not get the Java VM");
      jobject ref = e.NewGlobalRef(receiver);
      if (!ref) throw Exception("Could not create a global reference to the scanner");
      try {
        if (s->StartCapturing(ref, vm, evento)) evento = nullptr;  // the event thread has both now
        else e.DeleteGlobalRef(ref);
      } catch (...) {
        e.DeleteGlobalRef(ref);
        throw;
      }
    });
    if (!anterior || env->ExceptionCheck()) break;
    std::vector<TExecucaoPendente> esperar(1);
    esperar[0].canal = std::move(anterior);
    try {
      falha = AguardarExecucoes(esperar);
    } catch (...) {
    }
    if (!falha.empty()) break;
  }
  if (evento) env->DeleteGlobalRef(evento);
  LancarSeNenhuma(env, falha);
}

extern "C" JNIEXPORT void JNICALL Java_ardivex_scanners_Scanner_innerStopCapturing(JNIEnv* env, jobject /*receiver*/,
                                                                                  jlong handle) {
  std::vector<TExecucaoPendente> pendentes(1);
  frames::Converting(env, [handle, &pendentes](TJNIEnv&) { ScannerDoHandle(handle)->StopCapturing(&pendentes[0]); });
  std::string falha;
  try {
    falha = AguardarExecucoes(pendentes);
  } catch (...) {
  }
  LancarSeNenhuma(env, falha);
}

extern "C" JNIEXPORT jboolean JNICALL Java_ardivex_scanners_Scanner_innerIsCapturing(JNIEnv* env, jobject /*receiver*/,
                                                                                    jlong handle) {
  // -1: the handle names no live scanner object; the message is made under
  // the lock, the Java exception after it.
  std::string invalido;
  int r = frames::BareLocked([handle, &invalido]() -> int {
    if (TInnerScanner* p = ScannerVivo(handle)) return p->IsCapturing() ? 1 : 0;
    try {
      invalido = ScannerInvalido(handle);
    } catch (...) {
    }
    return -1;
  });
  if (r < 0) {
    try {
      TJNIEnv e(env);
      LancarExcecaoJava(e, kClasseScanManException, invalido.empty() ? "No scanner has this handle" : invalido);
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
