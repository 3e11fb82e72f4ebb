#include "generate/ApplicationBuilder.h"

#include "model/TagItem.h"

namespace {

[[noreturn]] void Stale() {
    throw ComponentError(
        QStringLiteral("The Layout page was laid out for an earlier tag list, so its columns "
                       "no longer match the tags. Go on with Next to the Layout page again and "
                       "check the columns before the application is made."));
}

void Check(const ApplicationLayout& layout) {
    if (!layout.current || !layout.tags)
        Stale();
    int column = 2; // "Date" and "Time" come first
    for (const qint32 p : layout.order) {
        ++column;
        if (p < 1 || p > layout.tags->Count())
            Stale();
        const TagItem& tag = layout.tags->At(p);
        // A hub may publish a tag without a name; no variable can be named after it.
        if (tag.Name().isEmpty())
            throw ComponentError(
                QStringLiteral("Column %1 of the Layout page holds a tag that has no name, and "
                               "a variable of the application needs one. Untick that tag (its "
                               "Tag Alias is empty) on the Select Tags page to leave it out.")
                    .arg(column));
        // A named tag of this list always has its name laid out; an empty one means the list
        // was fetched again after the Layout page was last shown.
        if (tag.Variable().isEmpty())
            Stale();
        if (tag.Length() > MaxVariableLength || tag.Decimals() > MaxVariableLength)
            throw ComponentError(
                QStringLiteral("The values of tag '%1' are too long for a variable of the "
                               "application: a variable holds at most 32,767 characters. "
                               "Untick the tag on the Select Tags page to leave it out.")
                    .arg(tag.Name()));
    }
}

} // namespace

void BuildApplicationFile(IApplication& app, const ApplicationLayout& layout,
                          const QString& fileName) {
    Check(layout);
    app.SetUp(1);
    app.SetTitle(layout.title);
    app.GetVariables().AddVariable(QStringLiteral("Date"), QStringLiteral("T"), 8, 0);
    app.GetVariables().AddVariable(QStringLiteral("Time"), QStringLiteral("T"), 8, 0);
    for (const qint32 p : layout.order) {
        const TagItem& tag = layout.tags->At(p);
        IVariable& v = app.GetVariables().AddVariable(tag.Variable(), tag.FieldType(),
                                                      static_cast<qint16>(tag.Length()),
                                                      static_cast<qint16>(tag.Decimals()));
        v.SetLink(layout.hubPrefix + tag.Name());
        v.SetCode(QStringLiteral("P"));
    }
    app.SaveToFile(fileName);
    app.CloseApplication();
}
