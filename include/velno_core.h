/*
 * velno_core: DIDs and their Ed25519 key pairs in password-protected wallet files.
 *
 * Answers. Every function answers a new NUL-terminated JSON text, the envelope:
 *   {"code":"OK"}                                 success without a value
 *   {"code":"OK","value":<value>}                 success with a value
 *   {"code":"<ErrorKind>","value":"<message>"}    failure
 * The answer is never NULL. It is allocated with malloc and belongs to the caller,
 * who releases it with free(); the library keeps no pointer to it. Nothing else
 * leaves a function: no exception, no abort on bad input.
 *
 * Arguments. Input texts are borrowed for the call and copied byte for byte (no
 * UTF-8 check); the library never keeps, changes or frees them. Data and signatures
 * are Base64 (standard alphabet, canonical "=" padding), public keys Base58.
 *
 * Threads. Any function may be called from any thread, also at the same time. Agent
 * calls run in parallel; create_agent of a new alias waits for them and holds new
 * ones back while it opens the wallet.
 *
 * Callbacks run on the calling thread, often while the library holds its locks: a
 * callback must never call back into this library.
 *
 * Lifetime. There is no close or shutdown: agents live until the process ends.
 */
#ifndef VELNO_CORE_H
#define VELNO_CORE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__) || defined(__clang__)
#define VELNO_API __attribute__((visibility("default")))
#else
#define VELNO_API
#endif

/* Returns the current wallet password as a NUL-terminated text (the empty text is a
 * valid password). NULL is answered InvalidParameter "Password callback returned NULL"
 * and nothing changes. The library copies the text at once and never frees or keeps
 * the pointer; it must stay valid until the callback returns to the library. Called
 * once for every encrypted record read or written (a write that overlaps a committing
 * change of password may ask again). Runs while no lock of the wallet is held. */
typedef const char *(*PasswordCallback)(void);

/* Receives one log record: level 1 ERROR, 2 WARN, 3 INFO, 4 DEBUG, 5 TRACE, and the
 * message "<module path> <text>". The message is malloc'd and belongs to the callee,
 * which releases it with free(). May be called from several threads at once. */
typedef void (*LogCallback)(uint32_t level, char *message);

/* ---- Set-up ------------------------------------------------------------------ */

/* Installs the process logger once: records up to `level` (0 off .. 5 trace; larger
 * values count as 5) go to `callback`. A later call leaves the first logger and level
 * in place, calls its own callback once and still answers {"code":"OK"}. Prints
 * progress lines on standard output. NULL callback: InvalidParameter. */
VELNO_API char *init_logging(uint32_t level, LogCallback callback);

/* Sets the home directory under which "brox-wallet/" holds the wallet files, used
 * exactly as given; the directory tree is created when missing. Default: "~/.olvek".
 * Takes effect at the next file access of every agent, also of agents already open.
 * Answers {"code":"OK"}; InvalidState for an empty text, IO when it cannot be made. */
VELNO_API char *set_velno_home_path(const char *local_dir);

/* Describes an error kind by its exact, case-sensitive name:
 * {"code":"OK","value":{"code":"<name>","description":"<text>"}}, else
 * InvalidParameter "Unknown error code". Needs no set-up. */
VELNO_API char *explain_error_code(const char *error_code);

/* ---- Agents -------------------------------------------------------------------- */

/* Opens (or creates) the wallet of `alias` and a DID in it: the DID of `seed` (a text
 * of at least 32 bytes, the first 32 being the Ed25519 seed; reused when the wallet
 * holds it already) or, with NULL, a new random one at every opening.
 * Answers {"code":"OK","value":{"handle":<n>}}; handles start at 100005. A known alias
 * answers its existing handle at once; the agent keeps its first password callback,
 * which it calls for good. */
VELNO_API char *create_agent(const char *alias, const char *seed, PasswordCallback password_callback);

/* ---- DIDs ---------------------------------------------------------------------- */

/* DID descriptions are objects {"id","metadata","publicDID","publicKey","seed"}. */

/* Creates a DID from `seed` (NULL: random) or answers the stored one of that seed. */
VELNO_API char *create_did(uint64_t handle, const char *seed);
/* Answers every DID of the agent's wallet as an array of descriptions. */
VELNO_API char *list_dids(uint64_t handle);
/* Answers the wallet's public DID; RecordNotFound "PublicDid" when it has none (the
 * library itself never writes one). */
VELNO_API char *get_default_did(uint64_t handle);
/* Answers the description of `did` (not NULL); RecordNotFound "DIDInfo" when unknown. */
VELNO_API char *get_did_info(uint64_t handle, const char *did);

/* ---- Signatures ---------------------------------------------------------------- */

/* Signs Base64 `data` (not NULL) with the public DID's key: {"code":"OK","value":"<Base64>"}. */
VELNO_API char *sign(uint64_t handle, const char *data);
/* Signs Base64 `data` with the key of `did` (both not NULL); the signature is 88
 * Base64 characters. */
VELNO_API char *sign_with_did(uint64_t handle, const char *did, const char *data);
/* Verifies a Base64 `signature` of Base64 `data` against a Base58 `public_key`
 * (all not NULL): {"code":"OK","value":true} or {"code":"OK","value":false}. Texts
 * that do not decode answer ConversionError. */
VELNO_API char *verify_with_did_public_key(uint64_t handle, const char *public_key, const char *data,
                                           const char *signature);

/* ---- Wallet -------------------------------------------------------------------- */

/* Re-encrypts the wallet under the password that `new_password_callback` answers (it
 * is called once, during this call only); the old one comes from the agent's own
 * callback, which must answer the new password from then on. An undo copy of the
 * wallet file is written first. Answers {"code":"OK"}. */
VELNO_API char *change_password(uint64_t handle, PasswordCallback new_password_callback);
/* Stores Base64 `data` (at most 5120 characters) encrypted under `key`; the same key
 * again replaces the value. Answers {"code":"OK"}; EncodingError when `data` is not
 * canonical Base64. */
VELNO_API char *wallet_store_data(uint64_t handle, const char *key, const char *data);
/* Fetches the data stored under `key`: {"code":"OK","value":{"Ok":"<Base64>"}}, or
 * {"code":"OK","value":{"Err":{"code":"<ErrorKind>","msg":"<message>"}}} when the
 * fetch itself fails (no such key, wrong password, damaged record). */
VELNO_API char *wallet_get_data(uint64_t handle, const char *key);

#ifdef __cplusplus
}
#endif

#endif /* VELNO_CORE_H */
