// JNI routines and TAcessoJNI: construct Java objects, call methods, read
// enumeration constants, and read or write an object's fields by name.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "jni/udBibJNI.h"

class TAcessoJNI {
 public:
  TAcessoJNI(TJNIEnv* AEnv, jobject objeto);
  ~TAcessoJNI();
  TAcessoJNI(const TAcessoJNI&) = delete;
  TAcessoJNI& operator=(const TAcessoJNI&) = delete;

  jobject Objeto() const { return FObjetoJava; }
  jclass Classe() const { return FClasse; }

  int32_t GetCampoInt(const std::string& nomeCampo);
  void SetCampoInt(const std::string& nomeCampo, int32_t Value);
  int64_t GetCampoLong(const std::string& nomeCampo);
  // nomeClasse: a class path with "/" separators, or an array signature ("[B").
  jobject PegCampoObjeto(const std::string& nomeCampo, const std::string& nomeClasse);
  // An empty nomeClasse means the exact class of ojValor.
  void DefCampoObjeto(const std::string& nomeCampo, jobject ojValor, const std::string& nomeClasse);
  void ChamarVoid(const std::string& nomeMetodo, const std::string& tipos, const TArgs& parametros);
  // Detaches the Java object, destroys the accessor (deleting its class
  // reference, not the object's) and returns the object.
  static jobject Liberar(std::unique_ptr<TAcessoJNI> acesso);

 private:
  jfieldID IdCampo(const std::string& nomeCampo, const std::string& assinatura);
  TJNIEnv* FEnv;
  jobject FObjetoJava;
  jclass FClasse;
};

std::string AssinaturaClasse(const std::string& nomeClasse);
// The field nomeCampo of classe declared with the exact class of ojValor (what
// DefCampoObjeto with an empty class name sets).
jfieldID IdCampoParaValor(TJNIEnv* env, jclass classe, const std::string& nomeCampo, jobject ojValor);
std::unique_ptr<TAcessoJNI> CriarObjetoJava(TJNIEnv* env, jclass classe, const std::string& tiposArgs,
                                            const TArgs& valores);
void ChamarMetodoVoid(TJNIEnv* env, jobject objeto, const std::string& nomeMetodo, const std::string& tiposArgs,
                      const TArgs& valores);
std::string ChamarMetodoString(TJNIEnv* env, jobject objeto, const std::string& nomeMetodo,
                               const std::string& tiposArgs, const TArgs& valores);
int32_t PegOrdinal(TJNIEnv* env, jobject objeto);
jobject PegValorEnum(TJNIEnv* env, jclass classe, const std::string& nomeConstante);
jbyteArray CriarArrayBytes(TJNIEnv* env, const void* buffer, int32_t tamanho);
// A copy of the bytes of a Java byte array (not null), so that the work on them
// runs without holding the array.
std::vector<uint8_t> CopiarArrayBytes(TJNIEnv* env, jbyteArray array);
