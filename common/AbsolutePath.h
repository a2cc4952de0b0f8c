/* Paths that stay valid wherever the process goes: the shards of a sharded run count in
 * directories of their own, and its Slurm jobs start wherever the scheduler starts them. */
#ifndef QUOVENT_COMMON_ABSOLUTEPATH_H
#define QUOVENT_COMMON_ABSOLUTEPATH_H

#include <string>

/* path, made absolute against the working directory when it is relative, and lexically normal
 * ("a/./b/../c" is "a/c"). Empty, with errno set, when the working directory cannot be found. */
std::string absolute_path(const std::string &path);

#endif
