// The fingerprint base contract used by the reader component for enrolment and
// identification, the reader layer's exception class and the search worker.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "readers/udOmbrelFPComum.h"
#include "support/Excecoes.h"
#include "support/udBibThreads.h"

// Every failure that the reader layer raises itself.
class EOmbrelFP : public Exception {
 public:
  using Exception::Exception;
};

using TDateTime = double;  // days since 1899-12-30

struct TIdInfo {
  int32_t Id = 0;
  int32_t IndDedo = 0;
  TDateTime DataCadastro = 0;
  TDateTime DataUltimoReconhecimento = 0;
  int32_t NumReconhecimentos = 0;
};

struct TInfoHashes {
  int32_t Id = 0;
  int16_t Hash = 0;
};

struct TResultadoImagemRuim {
  std::string Codigo;
  int32_t IndDedo = 0;
  int32_t QuantidadeImpressoes = 0;
  int32_t QuantidadeImpressoesPontuadas = 0;
  int32_t MaiorPontuacao = 0;
  int32_t SomaPontuacao = 0;
};

using TVetorIds = std::vector<int32_t>;
using TVetorIdInfo = std::vector<TIdInfo>;
using TVetorInfoHashes = std::vector<TInfoHashes>;
using TVetorResultadoImagemRuim = std::vector<TResultadoImagemRuim>;

enum TFormatoTemplate : int32_t {
  FTC_InternoOmbrel = 0,
  FTC_OMFP5 = 1,
  FTC_GISDK = 2,
  FTC_ZQ = 3,
  FTC_ZQFace = 4
};

class TVerificadorFPBase {
 public:
  virtual ~TVerificadorFPBase() = default;
};

class TTemplateBase {
 public:
  virtual ~TTemplateBase() = default;
};

// A fingerprint base: storage and matching of enrolled prints. Concrete bases
// derive from it; the reader component only uses the contract below.
class TOmbrelBase {
 public:
  explicit TOmbrelBase(void* owner = nullptr, std::string name = {}) : FOwner(owner), FName(std::move(name)) {}
  virtual ~TOmbrelBase() = default;
  TOmbrelBase(const TOmbrelBase&) = delete;
  TOmbrelBase& operator=(const TOmbrelBase&) = delete;

  void* Owner() const { return FOwner; }
  const std::string& Name() const { return FName; }
  int32_t NumeroEncontradas() const { return FNumeroEncontradas; }
  int32_t NumeroPesquisadas() const { return FNumeroPesquisadas; }

  virtual bool GetAtivo() = 0;
  virtual void SetAtivo(bool value) = 0;
  virtual int32_t GetNumImpressoes() = 0;
  virtual int32_t GetUltimaPontuacao() = 0;
  virtual bool GetQualidadeRuim() = 0;

  virtual int32_t AdicionarImagem(TGrayImage* grayImage, const std::string& codigo, int32_t indDedo,
                                  TVerificadorFPBase* verificador) = 0;
  virtual int32_t PesquisarImagem2(TGrayImage* grayImage, std::string& codigo, int32_t& indDedo,
                                   TVerificadorFPBase* verificador) = 0;
  virtual bool Excluir(int32_t id) = 0;
  virtual bool PegInformacao(int32_t id, std::string& codigo, int32_t& indDedo) = 0;
  virtual bool PegInformacao2(int32_t id, std::string& codigo, int32_t& indDedo, TDateTime& dataCadastro,
                              TDateTime& dataUltimoReconhecimento, int32_t& numReconhecimentos);
  virtual bool PegImpressao(int32_t indice, int32_t& id, std::string& codigo, int32_t& indDedo) = 0;
  virtual int32_t ExcluirImpressoesCodigo(const std::string& codigo) = 0;
  virtual int32_t NumImpressoesCodigo(const std::string& codigo) = 0;
  virtual TVetorIdInfo IdsInfoParaCodigo(const std::string& codigo, int32_t tipoInfo) = 0;
  virtual TVetorInfoHashes PegHashesParalela(const std::string& codigo, TFormatoTemplate formato) = 0;
  virtual void CompactarBase() = 0;
  virtual bool AdicionarImagemCadastro(TGrayImage* imagem) = 0;
  // True when the captures so far were merged.
  virtual bool AdicionarImagemCadastroP6(TGrayImage* imagem, int32_t& limiarUniu, int32_t& limiar1paraN) = 0;
  virtual bool AdicionarImpressaoCadastro(TTemplateBase* minucias, TTemplateBase* minuciasP, int32_t& limiarUniu,
                                          int32_t& limiar1paraN) = 0;
  virtual void ReiniciarCadastro() = 0;
  virtual int32_t AdicionarImpressaoUnida(const std::string& codigo, int32_t indDedo) = 0;
  virtual void AdicionarImpressaoRuim(const std::string& codigo, int32_t indDedo, int32_t& id1, int32_t& id2,
                                      int32_t& id3) = 0;
  // True when the merged print is already in the base.
  virtual bool PesquisarImpressaoUnida(int32_t& id, std::string& codigo, int32_t& indDedo) = 0;
  virtual bool LeitorValido(const std::string& idLeitor) = 0;
  virtual bool PesquisarInterno(int32_t indice, int32_t& posicao, int32_t& numCandidatas,
                                int32_t& numCandidatasAcimaPontuacao) = 0;
  virtual TVetorResultadoImagemRuim PesquisarImagemRuim(TGrayImage* grayImage) = 0;
  virtual int32_t VerificarImagem(TGrayImage* grayImage, const std::string& codigo, int32_t limiar,
                                  TVerificadorFPBase* verificadorB) = 0;
  virtual int32_t VerificarImpressao(TTemplateBase* minucias, const std::string& codigo, int32_t limiar,
                                     TVerificadorFPBase* verificadorB) = 0;
  virtual bool VerificarIds(int32_t id1, int32_t id2, int32_t& numMinucias1, int32_t& numMinucias2,
                            int32_t& numMinuciasMatch, int32_t& dx, int32_t& dy, int32_t& anguloRotacao,
                            int32_t& pontuacao, TVerificadorFPBase* verificadorB) = 0;
  virtual bool AssociarTextoCodigo(const std::string& codigo, const std::string& valor) = 0;
  virtual bool PegTextoCodigo(const std::string& codigo, std::string& valor) = 0;
  virtual int32_t PesquisarImpressao(TTemplateBase* tB, std::string& codigo, int32_t& indDedo,
                                     TVerificadorFPBase* verificadorB) = 0;
  virtual int32_t IdentificarExternoImagem(TGrayImage* imagem, const std::string& extra, std::string& codigo,
                                           int32_t& indDedo, int32_t& retorno);
  virtual std::string ExecutarExterno(const std::string& comando);
  virtual TVetorIds IdsParaCodigo(const std::string& codigo) = 0;
  // A new template owned by the caller, or none.
  virtual std::unique_ptr<TTemplateBase> CriarTemplate(const std::string& templateStr, int32_t formato);

 protected:
  int32_t FNumeroEncontradas = 0;
  int32_t FNumeroPesquisadas = 0;

 private:
  void* FOwner;
  std::string FName;
};

class TOmbrelFP;

// The identification worker of one reader component: runs one search at a time
// so that capture is not held up by a long search.
class TThreadPesquisa : public TThread {
 public:
  explicit TThreadPesquisa(TOmbrelFP* neoFP);
  ~TThreadPesquisa() override;

  TOmbrelFP* FNeoFP;
  int32_t FId = 0;
  std::string FCodigo;
  int32_t FIndDedo = 0;
  std::unique_ptr<TGrayImage> FImagem;  // owned during a search
  std::string FTemplate;                // search by template when there is no image
  int32_t FFormatoTemplate = 0;
  bool FErroPesquisa = false;
  std::string FMensagemErroPesquisa;
  TEvento FEventoInicio{false, false};  // work is waiting
  TEvento FEventoFim{false, true};      // the worker is idle

 protected:
  void Execute() override;
};
