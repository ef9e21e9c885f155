/* A small host: one agent, its DID, a signature checked both ways, a change of
 * password, stored data and an error explained. Usage: demo_host <home directory> */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "velno_core.h"

static const char *agent_password = "correct horse";

static const char *current_password(void) { return agent_password; }
static const char *next_password(void) { return "battery staple"; }

static void print_log(uint32_t level, char *message) {
  printf("  log %u: %s\n", (unsigned)level, message);
  free(message);
}

/* Prints the answer and returns it; the caller frees it. */
static char *show(const char *what, char *answer) {
  printf("%-28s %s\n", what, answer);
  return answer;
}

static void show_and_free(const char *what, char *answer) { free(show(what, answer)); }

/* Copies the text of the JSON string member `name` that follows `from`. */
static int member_text(const char *from, const char *name, char *out, size_t size) {
  char pattern[64];
  snprintf(pattern, sizeof pattern, "\"%s\":\"", name);
  const char *start = strstr(from, pattern);
  if (start == NULL) return 0;
  start += strlen(pattern);
  const char *end = strchr(start, '"');
  if (end == NULL || (size_t)(end - start) >= size) return 0;
  memcpy(out, start, (size_t)(end - start));
  out[end - start] = '\0';
  return 1;
}

static int is_ok(const char *answer) { return strncmp(answer, "{\"code\":\"OK\"", 12) == 0; }

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s <home directory>\n", argv[0]);
    return 2;
  }
  int failures = 0;
  show_and_free("set_velno_home_path", set_velno_home_path(argv[1]));
  show_and_free("init_logging", init_logging(3, print_log));

  char *answer = show("create_agent", create_agent("demo", "demo-seed-0123456789abcdefghijkl", current_password));
  const char *handle_text = strstr(answer, "\"handle\":");
  uint64_t handle = handle_text ? strtoull(handle_text + 9, NULL, 10) : 0;
  failures += !is_ok(answer);
  free(answer);

  char did[128] = "", public_key[128] = "", signature[128] = "";
  answer = show("list_dids", list_dids(handle));
  if (!member_text(answer, "id", did, sizeof did) || !member_text(answer, "publicKey", public_key, sizeof public_key))
    failures++;
  free(answer);

  const char *data = "aGVsbG8gd29ybGQ=";    /* "hello world" */
  const char *changed = "aGVsbG8gd29ybGU="; /* "hello worle" */
  answer = show("sign_with_did", sign_with_did(handle, did, data));
  if (!member_text(answer, "value", signature, sizeof signature)) failures++;
  free(answer);

  answer = show("verify (same data)", verify_with_did_public_key(handle, public_key, data, signature));
  failures += strcmp(answer, "{\"code\":\"OK\",\"value\":true}") != 0;
  free(answer);
  answer = show("verify (changed byte)", verify_with_did_public_key(handle, public_key, changed, signature));
  failures += strcmp(answer, "{\"code\":\"OK\",\"value\":false}") != 0;
  free(answer);

  answer = show("change_password", change_password(handle, next_password));
  failures += !is_ok(answer);
  free(answer);
  /* From now on the agent's own callback must answer the new password. */
  agent_password = "battery staple";
  answer = show("sign_with_did (new pw)", sign_with_did(handle, did, data));
  failures += !is_ok(answer);
  free(answer);

  answer = show("wallet_store_data", wallet_store_data(handle, "greeting", data));
  failures += !is_ok(answer);
  free(answer);
  answer = show("wallet_get_data", wallet_get_data(handle, "greeting"));
  failures += strstr(answer, "{\"Ok\":\"aGVsbG8gd29ybGQ=\"}") == NULL;
  free(answer);

  show_and_free("sign (no public DID)", sign(handle, data));
  show_and_free("explain_error_code", explain_error_code("WalletLoginFailed"));

  printf(failures == 0 ? "demo finished\n" : "demo finished with %d unexpected answers\n", failures);
  return failures == 0 ? 0 : 1;
}
