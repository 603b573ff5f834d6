#include "operator_host.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "host_api.h"
#include "host_config.h"
#include "host_store_ops.h"
#include "layouts/layouts.h"
#include "support/mimecode.h"

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

OperatorHost::Received OperatorHost::Open(const std::string& transfer) const {
  const host::Engine& engine = *state_->engine;
  // The sender is whoever signed the block, not the UID the block names: the block is decoded
  // once here, its signature checked by the library, and every field read from those same bytes.
  const std::size_t length = strnlen(transfer.c_str(), transfer.size());
  if (length > static_cast<std::size_t>(INT32_MAX))
    throw std::runtime_error("the transfer is refused: it is too long");
  std::vector<std::uint8_t> block =
      vornak2::TryDecodeBuffer(transfer.c_str(), static_cast<std::int32_t>(length));
  if (block.empty() || block.size() > static_cast<std::size_t>(INT32_MAX))
    throw std::runtime_error("the transfer is refused: it is not a transfer text");
  std::int32_t size = static_cast<std::int32_t>(block.size());
  std::vector<char> signer(
      static_cast<std::size_t>(engine.api().GetMaxUIDLength(engine.handle())) + 1, '\0');
  const std::int32_t code =
      engine.api().RemoveSign(engine.handle(), block.data(), &size, signer.data());
  if (code != 0) throw std::runtime_error("the transfer is refused: " + engine.Describe(code));
  if (size < 0 || static_cast<std::size_t>(size) > block.size())
    throw std::runtime_error("the transfer is refused: the library gave a wrong length");
  const auto view = vornak2::layouts::ReadPublicKeyBlock(
      vornak2::layouts::Bytes(block).first(static_cast<std::size_t>(size)));
  if (!view) throw std::runtime_error("the transfer is refused: its block is malformed");
  Received received;
  received.uid.assign(view->uid);
  received.signer = host::BufferText(signer);
  received.data.assign(reinterpret_cast<const char*>(view->data.data()), view->data.size());
  if (received.signer.empty())
    throw std::runtime_error("the transfer is refused: it names no signer");
  return received;
}

std::string OperatorHost::TransferOf(const std::string& file) const {
  const host::Engine& engine = *state_->engine;
  std::string transfer;
  const std::int32_t code = host::FileTransfer(engine, file, transfer);
  if (code != 0) throw std::runtime_error("the answer cannot be signed: " + engine.Describe(code));
  return transfer;
}

}  // namespace ca
