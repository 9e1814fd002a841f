// The state of one upgrade that the list runner and the item actions share.
// Worker thread only; the worker resets the counters before each run.
#include "package/package.h"

int m_totalItemNum = 0;
int m_curItemNum = 0;
bool isNeedCheck = false;
bool isUpgraded = false;
std::string m_totalFileName;
void* m_archiveHandle = nullptr;
std::vector<std::string> m_checkdir;
std::vector<std::string> m_updateListFile;
std::vector<std::string> m_unzipUpdateListFile;
