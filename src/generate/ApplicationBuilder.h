#pragma once
// Turns the tags laid out on the Layout page into an application: the title, the fixed
// variables "Date" and "Time", then one variable per tag column in the columns' order, each
// linked to its tag on the hub; then the application is saved. Needs no window: the window
// hands over what it shows.

#include "generate/IApplication.h"
#include "model/TagItems.h"

#include <QString>
#include <vector>

struct ApplicationLayout {
    QString title;
    // The request prefix of the connection: "HUB:" or "TCP:address:port!".
    QString hubPrefix;
    const TagItems* tags = nullptr;
    // The tag columns from left to right, each as its tag's 1-based position in `tags`.
    std::vector<qint32> order;
    // False when the columns were laid out for an earlier tag list than `tags`.
    bool current = true;
};

// The most characters a variable of the application can hold.
inline constexpr qint32 MaxVariableLength = 32767;

// Checks the whole layout first and throws ComponentError, before the model is touched, when
// it is stale (laid out for an earlier tag list, a position outside the list, a tag without
// a variable name), when a column's tag has no name, or when a tag's values are too long for
// a variable. Then drives `app`:
// SetUp(1), SetTitle, the variables, SaveToFile(fileName), CloseApplication. A failure of the
// model passes to the caller.
void BuildApplicationFile(IApplication& app, const ApplicationLayout& layout,
                          const QString& fileName);
