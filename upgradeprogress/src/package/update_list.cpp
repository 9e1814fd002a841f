// The list runner for one partition: every line becomes a record, the record
// goes to the action its word names, and the progress moves after each line.
#include <cstdio>
#include <cstring>
#include <memory>

#include "ground.h"
#include "item_steps.h"
#include "list_line.h"
#include "package.h"

namespace {

using ItemHandler = int (*)(CongfigItemValue_T);

struct ActionWord {
    const char* word;
    ItemHandler handler;
};

// Tested in this order; the first exact match wins.
const ActionWord kActions[] = {
    {ota_format::kCreate, handleCreateBspatch},       {ota_format::kUpdate, handleUpdateBspatch},
    {ota_format::kDelete, handleDeleteBspatch},       {ota_format::kTotal, handleTotalBspatch},
    {ota_format::kEntotal, handleEntireTotalBspatch}, {ota_format::kChkSync, handleChkSyncBspatch},
};

ItemHandler handlerFor(const char* word) {
    for (const ActionWord& action : kActions) {
        if (strcmp(word, action.word) == 0) {
            return action.handler;
        }
    }
    return nullptr;
}

// The line as it stood in the list, without its terminator, for a log line.
int printableLength(const char* line, size_t length) {
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) {
        --length;
    }
    return static_cast<int>(length);
}

// The in-memory list as a stream, so that it is read in exactly the pieces
// a file would be. Null when the package carried no such list.
FILE* openListText(const std::string& path) {
    const auto text = m_updateListText.find(path);
    if (text == m_updateListText.end()) {
        return nullptr;
    }
    // fmemopen refuses an empty buffer; an empty list reads as /dev/null does.
    if (text->second.empty()) {
        static char nothing[1];
        FILE* empty = fmemopen(nothing, 1, "r");
        if (empty != nullptr) {
            fgetc(empty);
        }
        return empty;
    }
    return fmemopen(const_cast<char*>(text->second.data()), text->second.size(), "r");
}

// The partition a list belongs to, by its place among the lists.
std::string partitionOfList(const std::string& path) {
    for (size_t i = 0; i < m_updateListFile.size(); ++i) {
        if (m_updateListFile[i] == path) {
            return ota_format::kRunOrder[i];
        }
    }
    return std::string();
}

enum class ListRead { End, Item, Broken };

// The next line of a list as the runner reads it: one piece of at most 127
// characters, split into `item`, or Broken with `why` for a line outside the
// format.
ListRead nextListItem(FILE* file, char (&line)[ota_format::kLineUnit], size_t& length,
                      CongfigItemValue_T& item, std::string& why) {
    if (!readListPiece(file, line, length)) {
        return ListRead::End;
    }
    why.clear();
    if (pieceIsCut(file, line, length)) {
        why = "the line with its terminator is longer than " +
              std::to_string(ota_format::kLineUnit - 1) + " characters";
        return ListRead::Broken;
    }
    return parseListLine(line, length, item, why) ? ListRead::Item : ListRead::Broken;
}

}  // namespace

bool forEachListItem(const std::string& path,
                     const std::function<bool(const CongfigItemValue_T&)>& each, std::string* why) {
    if (m_updateListText.count(path) == 0) {
        return true;
    }
    FileOwner file(openListText(path));
    if (!file) {
        *why = "cannot read the list";
        return false;
    }
    char line[ota_format::kLineUnit];
    size_t length = 0;
    int lineNumber = 0;
    CongfigItemValue_T item;
    std::string broken;
    for (ListRead read;
         (read = nextListItem(file.get(), line, length, item, broken)) != ListRead::End;) {
        ++lineNumber;
        if (read == ListRead::Broken) {
            *why = "line " + std::to_string(lineNumber) + " is outside the update-list format";
            return false;
        }
        if (!each(item)) {
            break;
        }
    }
    return true;
}

int countListPieces(const std::string& text) {
    if (text.empty()) {
        return 0;
    }
    FileOwner file(fmemopen(const_cast<char*>(text.data()), text.size(), "r"));
    if (!file) {
        return 0;
    }
    char line[ota_format::kLineUnit];
    int count = 0;
    while (fgets(line, sizeof line, file.get()) != nullptr) {
        ++count;
    }
    return count;
}

int parseUpdateListFile(std::string updateListFileName) {
    if (updateListFileName.empty()) {
        OTA_LOG("updateListfileName is empty.\n");
        return 1;
    }
    isNeedCheck = true;
    // Each list names its own partition in its "total" line. A list without
    // one must not write into the partition of the list before it.
    m_totalFileName.clear();

    // The list as it was read from the checked package, never its copy.
    FileOwner file(openListText(updateListFileName));
    if (!file) {
        OTA_LOG("Open file [%s] failed.\n", updateListFileName.c_str());
        return 1;
    }

    char line[ota_format::kLineUnit];
    size_t length = 0;
    int lineNumber = 0;
    CongfigItemValue_T item;
    std::string why;
    for (ListRead read;
         (read = nextListItem(file.get(), line, length, item, why)) != ListRead::End;) {
        ++lineNumber;
        if (read == ListRead::Broken) {
            OTA_LOG("Line %d of %s is outside the update-list format, %s: [%.*s].\n", lineNumber,
                    updateListFileName.c_str(), why.c_str(), printableLength(line, length), line);
            m_failure = UpgradeFailure_T{partitionOfList(updateListFileName), "",
                                         "line " + std::to_string(lineNumber) + " of " +
                                             updateListFileName + " is outside the format"};
            return 1;
        }

        const ItemHandler handler = handlerFor(item.upgradMode);
        if (handler == nullptr) {
            OTA_LOG("There no handle upgradmode: %s.\n", item.upgradMode);
        } else if (handler(item) != 0) {
            m_failure = UpgradeFailure_T{partitionOfList(updateListFileName),
                                         item_steps::fieldText(item.fileName),
                                         std::string(item.upgradMode) + " " +
                                             item_steps::fieldText(item.fileName) + " failed"};
            return 1;
        }

        ++m_curItemNum;
        // The preparation counts every line before any list runs, so the
        // total is never 0 here; the guard only keeps a misuse from trapping.
        if (m_totalItemNum > 0) {
            request_update(10 + (m_curItemNum * 80) / m_totalItemNum, 0);
        }
        if (isUpgraded) {
            OTA_LOG("This partition has beed upgraded.\n");
            return 0;
        }
    }
    return 0;
}
