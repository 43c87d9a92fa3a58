#include "jni/udBibRotinasJni.h"

#include "jni/ModifiedUtf8.h"
#include "support/Formatar.h"

namespace {
std::string M(const std::string& s) { return Utf8ParaUtf8Modificado(s); }

std::string AssinaturaDe(const std::string& nomeClasse) {
  return (!nomeClasse.empty() && nomeClasse[0] == '[') ? nomeClasse : AssinaturaClasse(nomeClasse);
}

std::string PontosParaBarras(std::string s) {
  for (auto& c : s)
    if (c == '.') c = '/';
  return s;
}
}  // namespace

std::string AssinaturaClasse(const std::string& nomeClasse) { return "L" + nomeClasse + ";"; }

TAcessoJNI::TAcessoJNI(TJNIEnv* AEnv, jobject objeto) : FEnv(AEnv), FObjetoJava(objeto) {
  FClasse = objeto ? FEnv->GetObjectClass(objeto) : nullptr;
}

TAcessoJNI::~TAcessoJNI() {
  if (FClasse) FEnv->DeleteLocalRef(FClasse);
}

jfieldID TAcessoJNI::IdCampo(const std::string& nomeCampo, const std::string& assinatura) {
  jfieldID id = FClasse ? FEnv->GetFieldID(FClasse, M(nomeCampo).c_str(), M(assinatura).c_str()) : nullptr;
  if (!id) {
    FEnv->ClearLookupFailure();
    throw EJNIError(Format("Field '%s' of type '%s' not found", nomeCampo.c_str(), assinatura.c_str()));
  }
  return id;
}

int32_t TAcessoJNI::GetCampoInt(const std::string& nomeCampo) {
  return FEnv->GetIntField(FObjetoJava, IdCampo(nomeCampo, "I"));
}

void TAcessoJNI::SetCampoInt(const std::string& nomeCampo, int32_t Value) {
  FEnv->SetIntField(FObjetoJava, IdCampo(nomeCampo, "I"), Value);
}

int64_t TAcessoJNI::GetCampoLong(const std::string& nomeCampo) {
  return FEnv->GetLongField(FObjetoJava, IdCampo(nomeCampo, "J"));
}

jobject TAcessoJNI::PegCampoObjeto(const std::string& nomeCampo, const std::string& nomeClasse) {
  return FEnv->GetObjectField(FObjetoJava, IdCampo(nomeCampo, AssinaturaDe(nomeClasse)));
}

void TAcessoJNI::DefCampoObjeto(const std::string& nomeCampo, jobject ojValor, const std::string& nomeClasse) {
  if (!nomeClasse.empty()) {
    FEnv->SetObjectField(FObjetoJava, IdCampo(nomeCampo, AssinaturaDe(nomeClasse)), ojValor);
    return;
  }
  FEnv->SetObjectField(FObjetoJava, IdCampoParaValor(FEnv, FClasse, nomeCampo, ojValor), ojValor);
}

jfieldID IdCampoParaValor(TJNIEnv* env, jclass classe, const std::string& nomeCampo, jobject ojValor) {
  if (!ojValor) throw EJNIError("Impossible to guess object class");
  jclass c = env->GetObjectClass(ojValor);
  jclass k = env->GetObjectClass(c);
  jmethodID m = k ? env->GetMethodID(k, "getName", "()Ljava/lang/String;") : nullptr;
  if (!m) env->ClearLookupFailure();
  jobject n = m ? env->CallObjectMethod(c, m, {}) : nullptr;
  std::string nome = PontosParaBarras(env->JStringToString(static_cast<jstring>(n)));
  if (k) env->DeleteLocalRef(k);
  if (n) env->DeleteLocalRef(n);
  env->DeleteLocalRef(c);
  if (!m) throw EJNIError("Method 'getName' of type '()Ljava/lang/String;' not found");
  std::string assinatura = AssinaturaDe(nome);
  jfieldID id = classe ? env->GetFieldID(classe, M(nomeCampo).c_str(), M(assinatura).c_str()) : nullptr;
  if (!id) {
    env->ClearLookupFailure();
    throw EJNIError(Format("Field '%s' of type '%s' not found", nomeCampo.c_str(), assinatura.c_str()));
  }
  return id;
}

void TAcessoJNI::ChamarVoid(const std::string& nomeMetodo, const std::string& tipos, const TArgs& parametros) {
  ChamarMetodoVoid(FEnv, FObjetoJava, nomeMetodo, tipos, parametros);
}

jobject TAcessoJNI::Liberar(std::unique_ptr<TAcessoJNI> acesso) {
  jobject o = acesso->FObjetoJava;
  acesso->FObjetoJava = nullptr;
  return o;  // the accessor dies here and deletes only its class reference
}

std::unique_ptr<TAcessoJNI> CriarObjetoJava(TJNIEnv* env, jclass classe, const std::string& tiposArgs,
                                            const TArgs& valores) {
  std::string assinatura = "(" + tiposArgs + ")V";
  if (!classe) throw EJNIError("Class of the object to create not found");
  jmethodID id = env->GetMethodID(classe, "<init>", M(assinatura).c_str());
  if (!id) {
    env->ClearLookupFailure();
    throw EJNIError(Format("Constructor of type '%s' not found", assinatura.c_str()));
  }
  jobject o = env->NewObject(classe, id, valores);
  if (!o) throw EJNIError(Format("Could not create object with constructor '%s'", assinatura.c_str()));
  return std::make_unique<TAcessoJNI>(env, o);
}

void ChamarMetodoVoid(TJNIEnv* env, jobject objeto, const std::string& nomeMetodo, const std::string& tiposArgs,
                      const TArgs& valores) {
  jclass c = env->GetObjectClass(objeto);
  if (!c) {
    env->ExceptionDescribe();
    return;
  }
  jmethodID id = env->GetMethodID(c, M(nomeMetodo).c_str(), M("(" + tiposArgs + ")V").c_str());
  if (!id) {
    env->ExceptionDescribe();
    env->DeleteLocalRef(c);
    return;
  }
  try {
    env->CallVoidMethod(objeto, id, valores);
  } catch (...) {
    env->DeleteLocalRef(c);
    throw;
  }
  env->DeleteLocalRef(c);
}

std::string ChamarMetodoString(TJNIEnv* env, jobject objeto, const std::string& nomeMetodo,
                               const std::string& tiposArgs, const TArgs& valores) {
  jclass c = env->GetObjectClass(objeto);
  if (!c) throw EJNIError(Format("Class of the object not found calling '%s'", nomeMetodo.c_str()));
  std::string assinatura = "(" + tiposArgs + ")Ljava/lang/String;";
  jmethodID id = env->GetMethodID(c, M(nomeMetodo).c_str(), M(assinatura).c_str());
  if (!id) {
    env->ClearLookupFailure();
    env->DeleteLocalRef(c);
    throw EJNIError(Format("Method '%s' of type '%s' not found", nomeMetodo.c_str(), assinatura.c_str()));
  }
  std::string r;
  try {
    jobject s = env->CallObjectMethod(objeto, id, valores);
    r = env->JStringToString(static_cast<jstring>(s));
  } catch (...) {
    env->DeleteLocalRef(c);
    throw;
  }
  env->DeleteLocalRef(c);
  return r;
}

int32_t PegOrdinal(TJNIEnv* env, jobject objeto) {
  if (!objeto) throw EJNIError("Enumeration value is null");
  jclass c = env->GetObjectClass(objeto);
  jmethodID id = c ? env->GetMethodID(c, "ordinal", "()I") : nullptr;
  if (!id) env->ClearLookupFailure();
  if (c) env->DeleteLocalRef(c);
  if (!id) throw EJNIError("Method 'ordinal' of type '()I' not found");
  return env->CallIntMethod(objeto, id, {});
}

jobject PegValorEnum(TJNIEnv* env, jclass classe, const std::string& nomeConstante) {
  std::string nome = PontosParaBarras(ChamarMetodoString(env, classe, "getName", "", {}));
  jfieldID id = env->GetStaticFieldID(classe, M(nomeConstante).c_str(), M(AssinaturaClasse(nome)).c_str());
  if (!id) {
    if (env->ExceptionCheck()) env->ExceptionClear();  // NoSuchFieldError: the result is simply null
    return nullptr;
  }
  return env->GetStaticObjectField(classe, id);
}

jbyteArray CriarArrayBytes(TJNIEnv* env, const void* buffer, int32_t tamanho) {
  jbyteArray a = env->NewByteArray(tamanho);
  if (!a) throw EJNIError(Format("Could not create a byte array of %d bytes", tamanho));
  if (tamanho > 0) env->SetByteArrayRegion(a, 0, tamanho, static_cast<const jbyte*>(buffer));
  return a;
}

std::vector<uint8_t> CopiarArrayBytes(TJNIEnv* env, jbyteArray array) {
  const jsize n = env->GetArrayLength(array);
  std::vector<uint8_t> out(static_cast<size_t>(n));
  if (n > 0) {
    env->Env()->GetByteArrayRegion(array, 0, n, reinterpret_cast<jbyte*>(out.data()));
    if (env->ExceptionCheck()) throw EJNIError(Format("Could not read a byte array of %d bytes", static_cast<int>(n)));
  }
  return out;
}
