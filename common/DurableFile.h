/* Files that a crash of the machine leaves either whole or absent: written beside their name,
 * flushed to disk, renamed into place, and the rename flushed with its directory. Without the
 * flushes a file renamed into place can come back empty or short after a crash. */
#ifndef QUOVENT_COMMON_DURABLEFILE_H
#define QUOVENT_COMMON_DURABLEFILE_H

#include <string>

/* Flushes the file `from` (written and closed) and renames it onto `to`, then flushes the
 * directory of `to`. False with errno set when a step fails. */
bool rename_durably(const std::string &from, const std::string &to);

/* Flushes the directory that holds `path`: a name renamed into it then survives a crash. False
 * with errno set when it cannot. */
bool sync_directory_of(const std::string &path);

/* Makes `file` hold exactly `text`, durably: through "<file>.partial". False with errno set,
 * the partial file removed, when a step fails. */
bool write_file_durably(const std::string &file, const std::string &text);

/* Creates `file` holding `text` and flushes it, without the rename: for a file whose reader
 * tells a torn one by its content. Its name is durable once its directory is flushed. False
 * with errno set when a step fails. */
bool write_file_flushed(const std::string &file, const std::string &text);

#endif
