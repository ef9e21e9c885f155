/* A first host: one agent, a DID it keeps the id of, a signature checked both ways,
 * stored data and a change of password. Every answer is checked.
 * Usage: demo_host <home directory> */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "velno_core.h"

#define OK "{\"code\":\"OK\""

/* The password callback's text lives as long as the program; the host switches it only
 * once change_password has answered OK. */
static const char *current_password = "correct horse";
static const char *agent_password(void) { return current_password; }
static const char *next_password(void) { return "battery staple"; }

/* Log messages belong to the callback, which frees them. */
static void on_log(uint32_t level, char *message) {
  fprintf(stderr, "log %u: %s\n", (unsigned)level, message);
  free(message);
}

/* Prints the answer and returns it when it begins with `expected`; any other answer
 * ends the program. The caller frees what it gets. */
static char *expect(const char *what, char *answer, const char *expected) {
  printf("%-20s %s\n", what, answer);
  if (answer == NULL || strncmp(answer, expected, strlen(expected)) != 0) {
    fprintf(stderr, "%s: expected an answer beginning %s\n", what, expected);
    exit(1);
  }
  return answer;
}

/* Copies the first string member `name` of an answer (a real host parses the JSON). */
static void member_text(const char *answer, const char *name, char *out, size_t size) {
  char pattern[64];
  snprintf(pattern, sizeof pattern, "\"%s\":\"", name);
  const char *start = strstr(answer, pattern);
  const char *end = start ? strchr(start + strlen(pattern), '"') : NULL;
  size_t length = end ? (size_t)(end - start - strlen(pattern)) : 0;
  if (length >= size) length = 0;
  if (length > 0) memcpy(out, start + strlen(pattern), length);
  out[length] = '\0';
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s <home directory>\n", argv[0]);
    return 2;
  }
  printf("velno_core %s\n", VELNO_CORE_VERSION);
  free(expect("init_logging", init_logging(3, on_log), OK)); /* 1 error .. 5 trace */
  free(expect("set_velno_home_path", set_velno_home_path(argv[1]), OK)); /* default: ~/.olvek */

  /* NULL seed: the opening adds a random DID, whose key only the password protects. */
  char *answer = expect("create_agent", create_agent("alice", NULL, agent_password), OK);
  uint64_t handle = strtoull(strstr(answer, "\"handle\":") + strlen("\"handle\":"), NULL, 10);
  free(answer);

  /* The DID this host signs with: it keeps the id (list_dids answers in no order). */
  char did[64], public_key[64];
  answer = expect("create_did", create_did(handle, NULL), OK);
  member_text(answer, "id", did, sizeof did);
  member_text(answer, "publicKey", public_key, sizeof public_key);
  free(answer);

  const char *data = "aGVsbG8="; /* "hello" in Base64 */
  char signature[96];
  answer = expect("sign_with_did", sign_with_did(handle, did, data), OK);
  member_text(answer, "value", signature, sizeof signature);
  free(answer);
  free(expect("verify", verify_with_did_public_key(handle, public_key, data, signature),
              "{\"code\":\"OK\",\"value\":true}"));
  free(expect("verify other data", verify_with_did_public_key(handle, public_key, "aGVsbG8h", signature),
              "{\"code\":\"OK\",\"value\":false}"));
  free(expect("list_dids", list_dids(handle), OK)); /* both DIDs */

  free(expect("wallet_store_data", wallet_store_data(handle, "note", data), OK));
  free(expect("change_password", change_password(handle, next_password), OK));
  current_password = "battery staple"; /* only now: the change answered OK */
  free(expect("wallet_get_data", wallet_get_data(handle, "note"), "{\"code\":\"OK\",\"value\":{\"Ok\":\"aGVsbG8=\"}}"));
  free(expect("explain_error_code", explain_error_code("WalletLoginFailed"),
              "{\"code\":\"OK\",\"value\":{\"code\":\"WalletLoginFailed\",\"description\":\"Cannot login to wallet\"}}"));
  printf("demo finished\n");
  return 0;
}
