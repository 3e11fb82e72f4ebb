#pragma once
// Tag lists of the demo hub: the tag file format (docs/demo-hub.md), the built-in plant and
// generated synthetic tags.

#include "Plant.h"

#include <QString>
#include <QStringList>
#include <vector>

namespace demohub {

// Reads a tag file's text: one tag per line "name<TAB>kind<TAB>parameters". Lines that
// cannot be used are skipped and described in `warnings` ("line 7: ...").
std::vector<TagDef> ParseTagFile(const QByteArray& text, QStringList* warnings = nullptr);

// The built-in plant: about forty tags in the tag file format.
const QByteArray& BuiltInTagFile();
std::vector<TagDef> BuiltInTags();

// `count` generated tags named "AreaNN.TagNNNNNN", mixing numbers, counters and states.
std::vector<TagDef> SyntheticTags(qsizetype count);

} // namespace demohub
