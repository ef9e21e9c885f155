/*
 * velno_core: DIDs and their Ed25519 key pairs in password-protected wallet files.
 *
 * Answers. Every function answers a new NUL-terminated JSON text, the envelope:
 *   {"code":"OK"}                                 success without a value
 *   {"code":"OK","value":<value>}                 success with a value
 *   {"code":"<ErrorKind>","value":"<message>"}    failure
 * The JSON is compact, and the members of every object come in ascending key order.
 * The error kinds, with the descriptions explain_error_code answers, are listed in the
 * source tree's docs/errors.md.
 * The answer is allocated with malloc and belongs to the caller, who releases it with
 * free(); the library keeps no pointer to it. It is NULL only when memory is exhausted
 * so far that not even the "Out of memory" answer kept aside for that case is left
 * (one is kept aside when the library is loaded, so from the first call on, and the
 * next answer that finds memory keeps one aside again): the process goes on.
 * Nothing else leaves a function: no exception, no abort, whatever the input. Below,
 * each function lists the failures it can answer as Kind "message"; besides those, any
 * function may answer General "Internal error" (something unexpected, such as memory
 * running out while it works) or General "Out of memory" (not even the answer could be
 * made); the other agents go on. A failure answer means that nothing was committed, but for two
 * cases: create_did answered "Out of memory" may have stored its DID (list_dids tells);
 * and a write whose file write failed (IO, or General) keeps its new record in memory,
 * where reads find it and the agent's next write puts it in the file. Read the value
 * back to know. A write answered IO "File too large" (the size limit, see Aliases and
 * files) keeps nothing.
 *
 * Arguments. Input texts are borrowed for the call and copied byte for byte; the
 * library never keeps, changes or frees them. Data and signatures are Base64 (standard
 * alphabet, canonical "=" padding), public keys Base58. A NULL text is answered
 * InvalidParameter "Invalid Parameter for <name>" (the seeds excepted: NULL means no
 * seed), taking the arguments in order. A function taking a handle looks it up before
 * its other arguments, except three that answer some arguments even for an unknown
 * handle: wallet_store_data (a NULL key or data, data above 5120 characters, a key that
 * is not UTF-8; the Base64 check comes after the handle), wallet_get_data (a NULL key, a
 * key that is not UTF-8) and change_password (a NULL callback).
 *
 * Threads. Any function may be called from any thread, also at the same time. Agent
 * calls run in parallel, also on one agent, and with create_agent: an opening of a
 * new alias reads its wallet and writes its DID while agent calls go on, and waits
 * only for the lookups in progress to enter its agent. Two create_agent calls of one
 * alias make one agent: the second waits for the first and answers its handle (or,
 * when the first failed, opens the wallet itself).
 *
 * Callbacks run on the calling thread and must never call into this library.
 * - A password callback runs while the library holds no lock of the registry or of the
 *   wallet, so it may wait for another thread's agent call (a prompt on the thread that
 *   changes the password, say), also while create_agent asks it; but a create_agent's
 *   callback must not wait for another create_agent of the same alias, which waits for
 *   it.
 * - A create_agent made from a callback of an opening of the same alias, on that
 *   opening's thread, answers InvalidState "An opening of this alias is already running
 *   on this thread" at once, and one whose wait would close a ring (openings whose
 *   callbacks open each other's alias) answers InvalidState "An opening of this alias
 *   waits for an opening running on this thread"; the outer openings go on, and the
 *   alias opens normally afterwards.
 * - The log callback may run while the library holds its locks: it must return without
 *   waiting for any other thread's call into the library.
 *
 * Agent calls. Every function taking a handle may answer:
 *   InvalidState "Agent with handle not found."  (a handle create_agent did not give)
 *   SyncError "Agent map cannot be locked."      (a registration failed half-way)
 *   SyncError "Mutex lock failed, poisonous guard poisoned lock: another task failed
 *     inside", or InvalidState "Cannot lock the wallet for read" for lookups: an
 *     earlier call left this agent's records half-changed; other agents go on.
 * Those that read or write an encrypted record (each says so) may also answer:
 *   WalletLoginFailed "Cannot read wallet. Is the Pin Correct?"  (a wrong password, or
 *     a record damaged outside the library: the two look alike)
 *   InvalidParameter "Password callback returned NULL"
 *   Crypto "Password hash failed"  (the 64 MiB that deriving a key needs were refused)
 *   for a record damaged outside the library: ValueRequired "Optional value
 *   "sr.record_security.as_ref()" is required", ConversionError (the Base58 decoder's
 *   message), Crypto "Box easy open failed", Crypto "Invalid length of <member>",
 *   JsonProcessing or EncodingError (the reader's message). A Base58 member is decoded
 *   only as far as its value can go (salt 16 bytes, nonces 24, encrypted_key 48, data
 *   5,138: the longest datum, sealed): a text of a longer value answers Crypto "Invalid
 *   length of <member>" ("Box easy open failed" for data) undecoded, so that reading a
 *   record costs time in proportion to its size, whatever it holds.
 * Those that write may also answer IO, in one of two shapes: the system's error, as
 *   Os { code: <errno>, kind: <Kind>, message: "<strerror text>" }
 *   (say Os { code: 28, kind: StorageFull, message: "No space left on device" }),
 * or one the library names itself, as
 *   Error { kind: <Kind>, message: "<text>" }
 *   (say Error { kind: WriteZero, message: "failed to write whole buffer" }; create_agent
 *   also answers Error { kind: InvalidInput, message: "not a regular file" } and
 *   Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }).
 * Then the wallet file is as it was (or, after the rename, whole and new), while the
 * record stays in memory (see above), but for IO "File too large", which keeps nothing.
 *
 * Passwords. The agent's password callback (given to create_agent, kept for good)
 * answers the wallet's password:
 * - once for every encrypted record read or written, and once at a change of password;
 *   possibly on several threads at once. Nothing is cached: neither a password nor a key
 *   derived from it outlives the call that asked for it. A read asks once and derives the key once; a
 *   write asks once and, given the right password, derives it twice, to prove the
 *   password and to seal the record, three times when the first proof record (below)
 *   does not open under it (once only into a wallet with no encrypted record yet). A
 *   write that a committing change of password
 *   overtakes asks again, at most three times in all; a write overtaken three times
 *   answers WalletLoginFailed "Cannot read wallet. Is the Pin Correct?" and stores
 *   nothing (repeat it).
 * - The text it returns must stay valid after it returns, until the library has copied
 *   it: static, thread-local or other long-lived storage, never the callback's own
 *   stack. The empty text is a valid password; NULL is refused (above).
 * - A write into a wallet that holds encrypted records first proves the password, and
 *   so does a change of password for the old one, on the two proof records: while the
 *   wallet holds a key pair, the two key pairs of least record key (a data record never
 *   proves then); in a wallet without, the two data records of least record key. A
 *   record whose salt, level1_nonce or encrypted_key does not decode to its written
 *   length is passed over for the next. A password is accepted when it opens the
 *   record key (the outer layer) of either proof record; their data is not looked at.
 *   A wrong password answers WalletLoginFailed, stores nothing and leaves the file as
 *   it was. The proof costs one key derivation per write when the first proof record
 *   opens, two otherwise (so a wrong password costs two, and seals nothing).
 * - The two proof records decide alone. One damaged record never refuses the right
 *   password. A record sealed under another password (a stray, as older versions could
 *   leave) that is one of them vouches for that password; when both are strays, the
 *   right password is refused for writes and seedless openings. Damage and a wrong
 *   password look alike: when both proof records have a damaged outer layer (in a
 *   wallet of key pairs, the two of least record key, whatever the other key pairs
 *   hold), or the only sealed record has one, every password is refused for writes and
 *   seedless openings with WalletLoginFailed.
 * - In a wallet with no sealed record nothing binds a password: a write is sealed
 *   under the password the host gives it, also one that starts after a change of
 *   password has committed but before its answer reaches the host (the host still
 *   answers the old password then). A write that a change of password overtook and
 *   that has no sealed record to prove its password on answers WalletLoginFailed and
 *   stores nothing: repeat it.
 * - After change_password answers OK the callback must answer the new password; until
 *   then, the old one. A call that meets the other password meanwhile answers
 *   WalletLoginFailed and changes nothing: repeat it.
 *
 * Key derivations. Every encrypted record read or written costs one Argon2id derivation
 * (v1.3, 2 passes, 64 MiB, one lane: the keys crypto_pwhash gives), and a write into a
 * wallet that holds encrypted records two (three when the first proof record does not
 * open: see Passwords). The library computes Argon2id itself, with the vector unit the
 * processor has (AVX-512F, AVX2 or SSE2 on x86-64, chosen at run time; portable code
 * elsewhere, including arm64), in memory it keeps: about 50-70 ms of one core on an 8-CPU
 * x86-64 machine, and threads of one process derive side by side. Against crypto_pwhash
 * for the same key, measured there: 0.22-0.35 x its time on one thread; on 8 threads
 * 3.8-4.3 x its throughput where transparent huge pages are on; where they are off 3.7 x
 * under a steady load and 1.3-1.9 x in short bursts (taking handed-back regions again
 * costs there); a process's
 * first derivation 0.36-0.38 x its time, 1.15-1.21 x without huge pages (the new region
 * is populated first). The portable code takes 2.3-2.9 x the vectorised code's time.
 * Memory the library keeps:
 * - A derivation runs in a 64 MiB region that the process keeps for the next one: at
 *   most as many as ran at once, never more than 8. A region is populated when it is
 *   made (in huge pages where the system and the process allow them) and wiped when its
 *   derivation ends. One that finds no region free (the process's first, or one beyond
 *   those kept) maps and populates one; beyond 8 it is unmapped when its derivation ends.
 * - When the last derivation running ends, every kept region but one is handed back to
 *   the system (MADV_FREE: it takes their pages when it needs memory; until then they
 *   still count in the resident size; where the kernel lacks it they are unmapped). An
 *   idle process so keeps 64 MiB that the system cannot reclaim, and up to 448 MiB more
 *   that it can; the next burst of derivations reuses what is left of them.
 * - A forked child gets no region's contents: on Linux it sees them zeroed (4.14 and
 *   later; before, not at all), on macOS not at all, and its first derivation is a
 *   process's first. Elsewhere a child inherits the regions as they are (the kept ones
 *   wiped, one in a derivation not).
 * 64 MiB that cannot be had answers Crypto "Password hash failed" and commits nothing.
 *
 * Aliases and files. A wallet is the file qxdwallet_<alias>.json in <home>/brox-wallet,
 * the path the library opens and names in its log records being spelled
 * <home>/brox-wallet/./qxdwallet_<alias>.json; a change of password writes its undo
 * copy qxdwallet_<alias>-undo.json beside it and removes it when the change ends,
 * however it ends (a crash inside a change may leave it, under the old password).
 * - The file is one compact JSON object of records, each under the member
 *   "<key>::<record type>" ("note::String", "<did>::DIDInfo", "<did>::KeyPair"): DID
 *   descriptions in plain, key pairs and stored data sealed in two layers of
 *   XSalsa20-Poly1305 (the data under a random record key, the record key under a key
 *   derived from the password with a fresh salt: members data, salt, level1_nonce,
 *   level2_nonce and encrypted_key, in Base58).
 * - Files are exactly 0600, and the directories the library creates (brox-wallet, and
 *   the missing parts of the home directory, the default ~/.olvek included) exactly
 *   0700, whatever the umask; directories that exist already keep their modes.
 * - Every write replaces the file whole: a temporary file beside it (a hidden name of
 *   61 bytes, ".velno-tmp-" and three fields of 16 hexadecimal digits) is written,
 *   flushed to the device and renamed over the wallet file, then the directory is
 *   flushed, so a crash leaves the old wallet or the new one, never a torn one. A
 *   directory that cannot be opened for that last flush (no read permission) is logged
 *   as a WARN, and the write still succeeds.
 * - A process killed during a write leaves its temporary file, a whole copy of the
 *   wallet. The next opening of that wallet removes the temporary files of the wallet
 *   and of its undo copy, and nothing else (an INFO record each); a wallet directory
 *   that cannot be listed leaves them, with a WARN.
 * - create_agent answers IO at once when the wallet directory is not writable (every
 *   write renames in it), and when the wallet path names anything but a regular file:
 *   a FIFO (whether or not another process holds it open), socket, device or directory
 *   is refused without waiting, since the path is opened without blocking and checked
 *   before it is read (IO Error { kind: InvalidInput, message: "not a regular file" },
 *   or for a directory IO "Is a directory").
 * - A symbolic link at the wallet path stays: every write rewrites the file it finally
 *   names (a new file beside that target, renamed over it); a dangling link's target is
 *   made.
 * - create_agent checks every path a wallet will use (the file, its undo copy, the
 *   temporary file beside them) against the path limit (IO "File name too long", and no
 *   file is left), and answers IO "Is a directory" for a directory at either path.
 * - The alias's bytes become part of a file name: an alias holding "/" is refused; on
 *   a file system of 255-byte names the longest alias is 235 bytes (longer: IO "File
 *   name too long" at create_agent, and no file is left).
 * - On a file system that ignores letter case (macOS's default) two aliases that differ
 *   only in case are two agents sharing one file, which overwrite each other: don't.
 *   An alias "<x>-undo" names <x>'s undo copy: while that wallet is open in the process,
 *   or its file holds a record <x> lacks, <x>'s change of password answers IO "File
 *   exists" and touches neither file.
 *   The guard decides by record keys: aliases x and x-undo that share a seed, and
 *   whose data keys are all among x's, look like x's own copy; x's change then
 *   replaces x-undo's file and removes it, and x-undo's data are lost (its DID comes
 *   back from the seed). Don't.
 * - Whatever lies at the undo path and does not read as a wallet file (text, JSON that
 *   is not a wallet such as [] or {"a":1}, bytes that are not UTF-8, a file above the
 *   size bound or one the process may not read, a FIFO or other file that is not a
 *   regular file, or a link to one of these) is another's file: change_password answers IO "File exists", writes nothing,
 *   and logs a WARN naming that path. Move or remove that file, then change again.
 * - The undo copy is the library's own file. Its path is taken once, in the home in
 *   force when the change starts, and removed from there whatever home is set
 *   meanwhile, only while that path still names the copy written (another file put
 *   there stays, also one made after something deleted the copy: the copy is held
 *   open until its removal, so its inode number never passes to another file; a WARN
 *   says the copy was not removed). A symbolic link at the undo path is replaced by the
 *   copy itself and then gone; what it named is never written. A wallet path and undo
 *   path that name one file (a link of either to the other, a hard link) answer IO
 *   "the wallet file and its undo copy are one file" at create_agent, or at
 *   change_password for a link made later, and nothing is written.
 * - A crash inside a change, or a removal that cannot run (a read-only file system),
 *   may leave the undo copy under the old password, until the wallet's next change of
 *   password replaces and removes it.
 * - One process per wallet file: two processes on one alias overwrite each other's
 *   changes (there is no locking between processes).
 * - set_velno_home_path while agents are open moves their later writes into the new
 *   home, where each rewrites its whole wallet and replaces a wallet file of the same
 *   alias there (whose key pairs are then lost). To use another home's wallets, set
 *   that home in a process before its first create_agent.
 * - Wallet files above 256 MiB are refused with IO (FileTooLarge), by openings and by
 *   writes alike: a write that would take the file past it answers IO "File too large"
 *   and stores nothing.
 * - The last 16 KiB below that bound are kept for the DID that create_agent makes:
 *   wallet_store_data and create_did that would leave less free answer IO "File too
 *   large" and store nothing (a store that does not grow the file still may), so a
 *   wallet they filled still opens without a seed. A DID takes 2.3 KiB with the
 *   longest seed, under 1 KiB without one; its two records are checked for room
 *   together and written together, so a refused DID leaves neither.
 * - Once that room is used up too (by seedless openings, about 18 of them, or in a file
 *   that an older version left near the bound), a create_agent without a seed of a
 *   wallet that holds a DID opens it without adding one: it answers OK, writes nothing,
 *   logs a WARN "No room left below the wallet file's size bound for a new DID: opened
 *   without adding one", and the handle reaches every DID and datum in the file; it
 *   still asks the password and proves it, as the new DID's write would. A create_agent
 *   with a seed whose DID the wallet lacks answers IO "File too large" (the DID of a
 *   seed the wallet holds is found as always).
 * - An opening reads the whole file into memory: a file under the bound but crafted of
 *   many tiny values can take over 30 times its size (256 MiB of empty objects took
 *   7 GB and 50 s). Open only wallet files the library wrote.
 *
 * Lifetime. There is no close or shutdown: agents live until the process ends.
 */
#ifndef VELNO_CORE_H
#define VELNO_CORE_H

#include <stdint.h>

/* The library's version, the same as its CMake package's and pkg-config file's; the
 * major number is the one in the shared library's name (libvelno_core.so.1). */
#define VELNO_CORE_VERSION_MAJOR 1
#define VELNO_CORE_VERSION_MINOR 0
#define VELNO_CORE_VERSION_PATCH 0
#define VELNO_CORE_VERSION "1.0.0"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__) || defined(__clang__)
#define VELNO_API __attribute__((visibility("default")))
#else
#define VELNO_API
#endif

/* Returns the current wallet password as a NUL-terminated text that stays valid after
 * the callback returns (see Passwords above). */
typedef const char *(*PasswordCallback)(void);

/* Receives one log record: level 1 ERROR, 2 WARN, 3 INFO, 4 DEBUG, 5 TRACE, and the
 * message "<module path> <text>" (init_logging's own first record has no module path:
 * see there). The message is malloc'd and belongs to the callee,
 * which releases it with free(). May be called from several threads at once.
 * What each level adds: ERROR, a directory that could not be made, an empty home path,
 * a failed change that could not write the old records back; WARN, a directory flush
 * or listing, or a removal of a left-over file or undo copy, that failed, a file at the
 * undo path left alone (named by its path), an opening that added no DID for want of
 * room, a change of password that met records it could not fully open (see
 * change_password), and a home path lock left marked by an earlier failure; INFO, a
 * left-over temporary file removed (nothing else); DEBUG, the default home used, equal
 * passwords skipped, a wallet file created, and the DID, data and signature of a
 * signing in hexadecimal; TRACE, every step (files, paths, record lookups, and every
 * key derivation, a password proof's included: one "Derive key from wallet password"
 * each). No level carries a password or a key. */
typedef void (*LogCallback)(uint32_t level, char *message);

/* ---- Set-up ------------------------------------------------------------------ */

/* Installs the process logger once: records up to `level` (0 off .. 5 trace; larger
 * values count as 5) go to `callback`. Each call first gives its own callback one
 * record directly: level 4 and "Initialize logging to <NAME>" (OFF, ERROR, WARN, INFO,
 * DEBUG or TRACE), without a module path, whatever the level (0 included). A later call
 * leaves the first logger and level in place and still answers {"code":"OK"}.
 * Prints progress lines on standard output, each whole, flushed before it returns; a
 * host that writes its own data there calls it before that output begins (or points
 * descriptor 1 elsewhere around the call). The first call prints these 7:
 *   velno-core init logging
 *   Unwrap callback
 *   Get level
 *   Init simple logger
 *   Set logging level <NAME>
 *   Done Init simple logger. Extern.
 *   Result exteranalized
 * A later call prints 10: the same, with these 3 after "Set logging level <NAME>":
 *   Cannot configure logger Error: (InvalidState)
 *     Caused by: attempted to set a logger after the logging system was already initialized
 *   (an empty line)
 * A NULL callback prints 2: "velno-core init logging", "Callback is empty".
 * No other function prints.
 * Failures: InvalidParameter "Callback cannot be Empty." (NULL callback). */
VELNO_API char *init_logging(uint32_t level, LogCallback callback);

/* Sets the home directory under which "brox-wallet/" holds the wallet files, used
 * exactly as given (a relative text is relative to the current directory at each use);
 * the directories missing are created (0700). Default: "~/.olvek". Takes effect at the
 * next file access of every agent, also of agents already open (see Aliases and files).
 * Answers {"code":"OK"}.
 * Failures: InvalidParameter "Invalid Parameter for local_dir"; InvalidState "Please
 * provide a valid path" (the empty text); IO (the directory cannot be made); SyncError
 * (an earlier call failed half-way). */
VELNO_API char *set_velno_home_path(const char *local_dir);

/* Describes an error kind by its exact, case-sensitive name:
 * {"code":"OK","value":{"code":"<name>","description":"<text>"}}. Needs no set-up.
 * Failures: InvalidParameter "Invalid Parameter for error_code"; InvalidParameter
 * "Unknown error code". */
VELNO_API char *explain_error_code(const char *error_code);

/* ---- Agents -------------------------------------------------------------------- */

/* Opens (or creates) the wallet of `alias` and a DID in it: the DID of `seed` (a text
 * of at least 32 bytes, the first 32 being the Ed25519 seed; reused, without asking the
 * password, when the wallet holds it already) or, with NULL, a new random one at every
 * opening. A seed is kept unencrypted, as Base58 in the DID's description: in the
 * wallet file and in list_dids and get_did_info answers, so whoever reads the file can
 * sign as that DID. Pass NULL for a DID that only the password should protect; pass a
 * seed only when the host keeps it as secret as the wallet file.
 * Answers {"code":"OK","value":{"handle":<n>}}; handles start at 100005. A
 * known alias answers its existing handle at once, without using the seed or calling
 * the callback (which must still not be NULL: it is checked first);
 * the agent keeps its first password callback for good. A failed opening takes no
 * handle, and the alias may be tried again; a seedless opening that failed after
 * writing its random DID leaves that DID in the file, as a crash would. A new DID takes
 * a seed of at most 1,024 bytes (only the first 32 make the key); the DID of a longer
 * seed that the wallet already holds is still reused. A wallet with no room left for a
 * new DID opens without a seed without adding one, and answers IO "File too large" to a
 * seed whose DID it lacks (see Aliases and files).
 * Failures: InvalidParameter "Wallet password callback cannot be NULL"; InvalidParameter
 * "Invalid Parameter for alias" (NULL, or holding "/"); IO (the wallet directory is not
 * writable; the wallet path is not a regular file, or is too long; the file cannot be
 * read, is not UTF-8, or is above 256 MiB); JsonProcessing "<fault> at line <l> column
 * <c>" (the file is not a wallet); JsonProcessing "serde says <fault>" (the seed's
 * DID is in the wallet with a damaged description); WalletCouldNotGenerateKeyPair
 * "Couldn't create key pair" (a seed shorter than 32 bytes, or above 1,024 bytes for a
 * new DID); SyncError "Mutex lock failed, poisonous guard poisoned lock: another task
 * failed inside" (a registration failed half-way); and,
 * when it writes the new DID, the password and write failures of agent calls. */
VELNO_API char *create_agent(const char *alias, const char *seed, PasswordCallback password_callback);

/* ---- DIDs ---------------------------------------------------------------------- */

/* DID descriptions are objects {"id","metadata","publicDID","publicKey","seed"}.
 * A description is stored unauthenticated (only key pairs are sealed): list_dids and
 * get_did_info answer it as the wallet file holds it, and sign_with_did signs with the
 * sealed key pair stored under the DID it names. A description changed outside the
 * library can therefore name a key that the signatures do not verify against: a host
 * that must know a DID's key checks one signature of it against its publicKey. */

/* Creates a DID from `seed` (NULL: random) or answers the stored one of that seed
 * (then without asking the password or writing). Writes an encrypted record, and the
 * DID's description with it in the same write: both are stored or neither (a failed
 * file write keeps both in memory, as above; IO "File too large" keeps nothing). The
 * seed is kept unencrypted (see create_agent): pass one only when the host keeps it
 * secret.
 * Failures: WalletCouldNotGenerateKeyPair "Couldn't create key pair" (a seed shorter
 * than 32 bytes, or, for a new DID, above 1,024 bytes); JsonProcessing "serde says
 * <fault>" (the seed's DID is stored with a damaged description). Memory running out
 * is answered General "Out of memory", never "Internal error": the DID may then be
 * stored, which list_dids tells (retrying a NULL seed would make another). */
VELNO_API char *create_did(uint64_t handle, const char *seed);
/* Answers every DID of the agent's wallet as an array of descriptions: its DIDs, then
 * its public DIDs (none on the library's wallets), in no particular order within each
 * (not that of their creation). A host keeps the id
 * of the DID it uses (from create_did's answer): a seedless create_agent adds a DID at
 * every opening, so the first one listed may be another after a restart. Asks no
 * password. Failures: JsonProcessing "serde says <fault>" (a damaged description). */
VELNO_API char *list_dids(uint64_t handle);
/* Answers the wallet's public DID. The library itself never writes one, so on its
 * wallets this answers RecordNotFound "PublicDid". Failures: JsonProcessing "serde
 * says <fault>" (a damaged description). */
VELNO_API char *get_default_did(uint64_t handle);
/* Answers the description of `did`. Asks no password.
 * Failures: InvalidParameter "Invalid Parameter for did"; RecordNotFound "DIDInfo";
 * JsonProcessing "serde says <fault>" (a damaged description). */
VELNO_API char *get_did_info(uint64_t handle, const char *did);

/* ---- Signatures ---------------------------------------------------------------- */

/* Signs Base64 `data` with the public DID's key: {"code":"OK","value":"<Base64>"}.
 * Reads an encrypted record.
 * Failures: InvalidParameter "Invalid Parameter for data"; ConversionError "Invalid
 * base64 encoding"; RecordNotFound "PublicDid" (always, on wallets the library made);
 * JsonProcessing "serde says <fault>" (a damaged public DID description). */
VELNO_API char *sign(uint64_t handle, const char *data);
/* Signs Base64 `data` with the key of `did`; the signature is 88 Base64 characters.
 * Reads an encrypted record.
 * Failures: InvalidParameter "Invalid Parameter for did", then "Invalid Parameter for
 * data"; ConversionError "Invalid base64 encoding"; RecordNotFound "DIDInfo" (unknown
 * DID); JsonProcessing "serde says <fault>" (its description is damaged);
 * RecordNotFound "No key with key id <did>"; WalletCouldNotSign "Data signing
 * failed" (a damaged key). */
VELNO_API char *sign_with_did(uint64_t handle, const char *did, const char *data);
/* Verifies a Base64 `signature` of Base64 `data` against a Base58 `public_key`:
 * {"code":"OK","value":true}, or false when it does not verify (also for a key other
 * than 32 bytes or a signature other than 64). A key text longer than any 32-byte key's
 * (44 characters) is answered false without being decoded, after the data and
 * signature are checked: the answer takes time in proportion to the texts' lengths.
 * Any registered handle answers alike.
 * Failures, in argument order: InvalidParameter "Invalid Parameter for public_key" /
 * ConversionError "Invalid base58 encoded public key"; InvalidParameter "Invalid
 * Parameter for data" / ConversionError "Invalid base64 encoded sign data";
 * InvalidParameter "Invalid Parameter for signature" / ConversionError "Invalid base64
 * encoded signature". */
VELNO_API char *verify_with_did_public_key(uint64_t handle, const char *public_key, const char *data,
                                           const char *signature);

/* ---- Wallet -------------------------------------------------------------------- */

/* Re-encrypts the wallet under the password that `new_password_callback` answers (it
 * is called once, during this call only); the old one comes from the agent's own
 * callback, which must answer the new password once this answers OK (see Passwords).
 * An undo copy of the wallet file is written first and removed when the change ends,
 * also for equal passwords and refused changes (see Aliases and files). Answers
 * {"code":"OK"}, also for equal passwords (then nothing is re-encrypted and the wallet
 * file is not rewritten). A change answered OK is never undone; a failed one leaves
 * every record under the old password. The old password is proven first, as a write
 * proves its own (see Passwords): a wrong one changes nothing. Then each encrypted
 * record whose record key (outer layer) opens under the old password is put under the
 * new one: sealed afresh when its data opens too; when its data does not (its data or
 * level2_nonce damaged outside the library), its record key is sealed under the new
 * password (new salt, level1_nonce and encrypted_key) and its data and level2_nonce are
 * kept byte for byte: reading it fails as before (Crypto "Box easy open failed", say),
 * now under the new password, and succeeds once they are repaired. A record whose
 * record key does not open under the old password (already under the new one; sealed
 * under another password, an outer layer damaged, or no security block: opening under
 * neither) is left as it is, byte for byte. A WARN log record names how many had their
 * data kept and how many open under neither password. After an OK no record key opens
 * under the old password, so in a wallet holding sealed records the old password is
 * refused for writes, seedless openings and changes, and the new one is accepted.
 * Cost: each callback is asked once; proving the old password costs one key derivation
 * (two when the first proof record does not open), and each encrypted record two (one
 * to open its record key under the old password, one to seal it under the new; one that
 * opens under neither also costs two, trying both).
 * Failures: InvalidParameter "Invalid Parameter for $dst" (NULL callback, checked
 * before the handle); InvalidParameter "Password callback returned NULL" (either
 * callback); Crypto "Please provide a valid password" (an empty new password; the
 * empty text is accepted as the old one);
 * WalletLoginFailed "Cannot read wallet. Is the Pin Correct?" (a wrong old password, or
 * passwords asked before another change of this agent's password committed); IO "File
 * exists" (another wallet at the undo copy's path, or a file there that is no wallet:
 * move it away, see Aliases and files); IO "the wallet file and its undo
 * copy are one file" (see Aliases and files); Crypto "Password hash failed"; and the
 * write failures of agent calls (IO). */
VELNO_API char *change_password(uint64_t handle, PasswordCallback new_password_callback);
/* Stores Base64 `data` (at most 5120 characters) encrypted under `key`, a UTF-8 text
 * kept byte for byte; the same key again replaces the value. Answers {"code":"OK"}.
 * Writes an encrypted record.
 * Failures: InvalidParameter "Invalid Parameter for key", "Invalid Parameter for data",
 * "Data size cannot be larger than 5K"; EncodingError "invalid utf-8 sequence of <n>
 * bytes from index <i>" or "incomplete utf-8 byte sequence from index <i>" (a key that
 * is not UTF-8, refused before the handle is looked up); EncodingError for data that is
 * not canonical Base64: "Invalid symbol <byte>, offset <i>.", "Invalid input length:
 * <n>", "Invalid last symbol <byte>, offset <i>.", "Invalid padding". */
VELNO_API char *wallet_store_data(uint64_t handle, const char *key, const char *data);
/* Fetches the data stored under `key`: {"code":"OK","value":{"Ok":"<Base64>"}}, or,
 * when the fetch itself fails,
 * {"code":"OK","value":{"Err":{"code":"<ErrorKind>","msg":"<message>"}}}: among them
 * RecordNotFound "No data with key <key>" and the failures of reading an encrypted
 * record (wrong or NULL password, damaged record).
 * Failures: InvalidParameter "Invalid Parameter for key"; EncodingError for a key that
 * is not UTF-8 (as wallet_store_data). */
VELNO_API char *wallet_get_data(uint64_t handle, const char *key);

#ifdef __cplusplus
}
#endif

#endif /* VELNO_CORE_H */
