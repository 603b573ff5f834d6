#include "operator_host.h"

#include <stdexcept>

#include "host_api.h"
#include "host_config.h"
#include "host_store_ops.h"

namespace ca {

namespace host = vornak2::host;

struct OperatorHost::State {
  host::Library library{host::DefaultLibraryPath()};
  std::unique_ptr<host::Engine> engine;
};

OperatorHost::OperatorHost(const std::string& root, const std::string& name)
    : state_(std::make_unique<State>()) {
  if (!state_->library.ok()) throw std::runtime_error(state_->library.error());
  state_->engine = std::make_unique<host::Engine>(state_->library.api());
  if (!*state_->engine) throw std::runtime_error("the library gave no engine");
  host::EngineSetup setup;
  setup.root = root;
  setup.AddUser(name);
  // Configure says on standard error what it could not set up.
  if (host::Configure(state_->library, *state_->engine, setup) != 0)
    throw std::runtime_error("the operator's engine cannot be configured");
  if (Uid().empty()) throw std::runtime_error("no operator key set in " + root + "/" + name);
}

OperatorHost::~OperatorHost() = default;

std::string OperatorHost::Uid() const {
  std::string uid;
  state_->engine->CurrentUserUid(uid);
  return uid;
}

std::string OperatorHost::Open(const std::string& transfer, const std::string& dir) const {
  const host::Engine& engine = *state_->engine;
  std::string uid;
  std::int32_t code = host::TransferUid(engine, transfer, uid);
  if (code == 0)
    code = engine.api().SavePublicKeyFromTransfer(engine.handle(), dir.c_str(), transfer.c_str());
  if (code != 0) throw std::runtime_error("the transfer is refused: " + engine.Describe(code));
  return uid;
}

std::string OperatorHost::TransferOf(const std::string& file) const {
  const host::Engine& engine = *state_->engine;
  std::string transfer;
  const std::int32_t code = host::FileTransfer(engine, file, transfer);
  if (code != 0) throw std::runtime_error("the answer cannot be signed: " + engine.Describe(code));
  return transfer;
}

}  // namespace ca
