/* Credential store: passwords and session tokens kept in the desktop secret service (libsecret,
 * loaded at run time when installed) or in a private file under the user's configuration
 * directory. Entries are addressed by an account and a key. */
#ifndef NORVALE_NV_CREDSTORE_H
#define NORVALE_NV_CREDSTORE_H

#ifdef __cplusplus
extern "C" {
#endif

#define NV_CREDSTORE_OK 0
#define NV_CREDSTORE_NOT_FOUND 1
#define NV_CREDSTORE_ERROR 3

/** Stores or replaces the secret of (account, key): 0, or 3 on error. */
int nv_credstore_set(const char* account, const char* key, const char* secret);
/** 0 with a heap copy in *out (release with nv_credstore_free), 1 when there is no entry, 3 on
 *  error. *out is set to NULL first. */
int nv_credstore_get(const char* account, const char* key, char** out);
/** 0 when deleted (or libsecret had nothing to delete), 1 when the file backend has no such
 *  entry, 3 on error. */
int nv_credstore_delete(const char* account, const char* key);
/** Overwrites the secret with zero bytes and frees it; NULL is accepted. */
void nv_credstore_free(char* secret);
/** "libsecret" while the secret service is in use, else "file". */
const char* nv_credstore_backend(void);

#ifdef __cplusplus
}
#endif

#endif /* NORVALE_NV_CREDSTORE_H */
