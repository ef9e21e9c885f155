#include "common/did_error.hpp"

#include <gtest/gtest.h>

#include <cerrno>

#include "common/base58.hpp"
#include "common/io_error.hpp"
#include "common/json_error.hpp"
#include "common/utf8.hpp"

namespace velno {
namespace {

struct KindRow {
  DidErrorKind kind;
  const char* name;
  const char* description;
};

const KindRow kKindTable[] = {
    {DidErrorKind::OK, "OK", "No Error"},
    {DidErrorKind::General, "General", "General error, not registered with a code"},
    {DidErrorKind::AgentNotRegistered, "AgentNotRegistered", "The agent is not registered to the ledger"},
    {DidErrorKind::JsonProcessing, "JsonProcessing", "Invalid JSON structure"},
    {DidErrorKind::InvalidStructure, "InvalidStructure", "Invalid data structure"},
    {DidErrorKind::InvalidParameter, "InvalidParameter", "The provided parameter is invalid"},
    {DidErrorKind::Unimplemented, "Unimplemented", "The functionality is not implemented"},
    {DidErrorKind::RecordNotFound, "RecordNotFound", "The record was not found in the wallet or the ledger"},
    {DidErrorKind::Ledger, "Ledger", "A ledger related problem occurred"},
    {DidErrorKind::FendraError, "FendraError", "Fendra API reported an issue"},
    {DidErrorKind::FendraIndyError, "FendraIndyError", "Fendra API reported an indy api related issue"},
    {DidErrorKind::DidComm, "DidComm", "A problem ocurred during did comm protocol"},
    {DidErrorKind::EncodingError, "EncodingError", "Data cannot be encoded"},
    {DidErrorKind::ValueRequired, "ValueRequired", "A mandatory value is missing"},
    {DidErrorKind::ConversionError, "ConversionError", "Cannot convert between units"},
    {DidErrorKind::InvalidState, "InvalidState", "The current state is not consistent"},
    {DidErrorKind::SyncError, "SyncError", "Synchornization with the ledger failed"},
    {DidErrorKind::BroxError, "BroxError", "Wallet related error"},
    {DidErrorKind::WalletFile, "WalletFile", "Wallet file is missing"},
    {DidErrorKind::WalletAlreadyExist, "WalletAlreadyExist", "Wallet file is already existing"},
    {DidErrorKind::WalletNotFound, "WalletNotFound", "Wallet is missing"},
    {DidErrorKind::WalletCouldNotSign, "WalletCouldNotSign", "Cannot sign the transaction"},
    {DidErrorKind::WalletInvalidSignature, "WalletInvalidSignature", "The signature cannot be verified"},
    {DidErrorKind::WalletCouldNotGenerateKeyPair, "WalletCouldNotGenerateKeyPair",
     "Cannot generate keypair, please make sure that the hardware matches the minimum requirements"},
    {DidErrorKind::WalletLoginFailed, "WalletLoginFailed", "Cannot login to wallet"},
    {DidErrorKind::AnonCreds, "AnonCreds", "Anoncreds related error"},
    {DidErrorKind::Crypto, "Crypto", "A cryptologic operatin failed"},
    {DidErrorKind::RevocationRegistryFull, "RevocationRegistryFull",
     "The credential definition has reached its maximum capacity for revocations. Please create a new "
     "credential definition"},
    {DidErrorKind::ProofRejected, "ProofRejected", "Proof is not valid"},
    {DidErrorKind::InvalidUserRevocId, "InvalidUserRevocId", "Revocation registry id is invalid"},
    {DidErrorKind::IO, "IO", "An IO Error Occurred"},
    {DidErrorKind::InvalidGenesisFile, "InvalidGenesisFile", "The genesis file doesn't exist or is invalid"},
};

TEST(DidErrorKindTest, EveryKindHasItsNameDescriptionAndNumber) {
  ASSERT_EQ(std::size(kKindTable), kDidErrorKindCount);
  for (uint32_t i = 0; i < kDidErrorKindCount; ++i) {
    const KindRow& row = kKindTable[i];
    SCOPED_TRACE(row.name);
    EXPECT_EQ(static_cast<uint32_t>(row.kind), i);
    EXPECT_EQ(kind_name(row.kind), row.name);
    EXPECT_EQ(kind_description(row.kind), row.description);
    EXPECT_EQ(kind_display(row.kind), std::string("(") + row.name + ")");
    EXPECT_EQ(kind_serialize(row.kind), nlohmann::json(row.name));
  }
  EXPECT_EQ(kind_description(DidErrorKind::WalletCouldNotGenerateKeyPair).size(), 92u);
}

TEST(DidErrorKindTest, DescribeErrorCodeAnswersEveryExactName) {
  for (const KindRow& row : kKindTable) {
    auto r = describe_error_code(row.name);
    ASSERT_TRUE(r.ok()) << row.name;
    EXPECT_EQ(r->code, row.name);
    EXPECT_EQ(r->description, row.description);
  }
}

TEST(DidErrorKindTest, DescribeErrorCodeRejectsAnythingButAnExactName) {
  for (const char* name : {"io", "Io", " IO", "IO ", "IOX", "I", "", "ok", "OK\n", "invalidState"}) {
    auto r = describe_error_code(name);
    ASSERT_FALSE(r.ok()) << '"' << name << '"';
    EXPECT_EQ(r.error().kind(), DidErrorKind::InvalidParameter);
    EXPECT_EQ(r.error().raw_message(), "Unknown error code");
  }
  // A NUL inside the text is part of it, not its end.
  EXPECT_FALSE(describe_error_code(std::string("IO\0", 3)).ok());
}

TEST(DidErrorTest, TextFormIsTwoLines) {
  EXPECT_EQ(describe_error_code("nope").error().fmt_display(),
            "Error: (InvalidParameter)\n  Caused by: Unknown error code\n");
  EXPECT_EQ(DidError::from_poison_error().fmt_display(),
            "Error: (SyncError)\n  Caused by: Mutex lock failed, poisonous guard poisoned lock: another task "
            "failed inside\n");
  EXPECT_EQ(DidError::with_message(DidErrorKind::IO, "").fmt_display(), "Error: (IO)\n  Caused by: \n");
}

TEST(DidErrorTest, JsonFormHasCodeThenMsg) {
  EXPECT_EQ(DidError::with_message(DidErrorKind::IO, "").serialize().dump(), R"({"code":"IO","msg":""})");
  EXPECT_EQ(DidError::with_static_message(DidErrorKind::Crypto, "bad \"key\"").serialize().dump(),
            R"({"code":"Crypto","msg":"bad \"key\""})");
  EXPECT_EQ((DidResultCodeDescription{"OK", "No Error"}.serialize().dump()),
            R"({"code":"OK","description":"No Error"})");
}

TEST(DidErrorTest, StaticAndOwnedMessagesGiveTheSameError) {
  std::string bytes("a\0b\xff", 4);  // kept byte for byte
  DidError owned = DidError::with_message(DidErrorKind::WalletLoginFailed, bytes);
  EXPECT_EQ(owned.raw_message(), bytes);
  DidError a = DidError::with_message(DidErrorKind::RecordNotFound, "DIDInfo");
  DidError b = DidError::with_static_message(DidErrorKind::RecordNotFound, "DIDInfo");
  EXPECT_EQ(a.kind(), b.kind());
  EXPECT_EQ(a.raw_message(), b.raw_message());
  EXPECT_EQ(a.fmt_display(), b.fmt_display());
  EXPECT_EQ(a.serialize(), b.serialize());
  DidError moved = std::move(a);
  EXPECT_EQ(moved.raw_message(), "DIDInfo");
  EXPECT_EQ(a.kind(), DidErrorKind::General);  // NOLINT(bugprone-use-after-move): must not crash
  EXPECT_EQ(a.fmt_display().rfind("Error: (General)\n", 0), 0u);
}

TEST(DidErrorTest, ConversionsPickKindAndText) {
  struct Row {
    DidError error;
    DidErrorKind kind;
    std::string message;
  };
  Row rows[] = {
      {DidError::from_base58_error(Base58Error{false, 3, '0'}), DidErrorKind::ConversionError,
       "provided string contained invalid character '0' at byte 3"},
      {DidError::from_io_error(IoError::write_zero()), DidErrorKind::IO,
       "Error { kind: WriteZero, message: \"failed to write whole buffer\" }"},
      {DidError::from_json_error(JsonError::at("trailing characters", 1, 3)), DidErrorKind::JsonProcessing,
       "trailing characters at line 1 column 3"},
      {DidError::from_json_error(JsonError::plain("missing field `key`")), DidErrorKind::JsonProcessing,
       "missing field `key`"},
      {DidError::from_utf8_error(*check_utf8("ab\xff")), DidErrorKind::EncodingError,
       "invalid utf-8 sequence of 1 bytes from index 2"},
      {DidError::from_string("Invalid padding"), DidErrorKind::EncodingError, "Invalid padding"},
      {DidError::from_poison_error(), DidErrorKind::SyncError,
       "Mutex lock failed, poisonous guard poisoned lock: another task failed inside"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.error.kind(), row.kind) << row.message;
    EXPECT_EQ(row.error.raw_message(), row.message);
  }
  EXPECT_EQ(DidError::from_io_error(IoError::os(ENOENT)).kind(), DidErrorKind::IO);
}

}  // namespace
}  // namespace velno
