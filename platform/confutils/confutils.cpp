// placeholder: replaced by the durable write
#include "confutils.h"
gboolean confutils_set_file_contents_with_sync(const gchar* path, const gchar* data, gssize length, GError** error) {
  return g_file_set_contents(path, data, length, error);
}
