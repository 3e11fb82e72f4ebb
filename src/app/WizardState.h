#pragma once
// What the pages of one run of the wizard have accepted, in one plain record the window owns.
// A page's leave procedure (or the handler of a choice that takes effect at once) writes it,
// the grids display it, and the builder, Finish and Preview read only it.

#include "model/TagItems.h"

#include <QString>
#include <memory>
#include <optional>
#include <vector>

struct WizardState {
    // Connect page: the connection as accepted and the request prefix made from it.
    QString tcpAddress;
    qint32 tcpPort = 0;
    QString hubPrefix;
    qint32 sampleRateMs = 0;

    // The tags of the connection, their sampled properties and (Select Tags) their selection.
    // Replaced, never changed in place, when a tag list is fetched.
    std::shared_ptr<TagItems> tags = std::make_shared<TagItems>();

    // Layout page: the entry of the heading-lines list (0 leaves the names untouched) and the
    // tag columns from left to right, each as its tag's 1-based position in `tags`. No layout
    // exists for a tag list until the Layout page has been shown for it.
    int maxLinesIndex = 0;
    std::optional<std::vector<qint32>> layoutOrder;

    // Generate page: the application's title and file as typed or chosen, and the file the
    // last Finish made, which the Open buttons hand to the workstation programs.
    QString title;
    QString fileName;
    QString appFileName;
};
