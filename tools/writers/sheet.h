// The contact sheet: a thumbnail of every Nth frame, four to a row, with a gap between them.
#ifndef TAMSA_TOOLS_WRITERS_SHEET_H
#define TAMSA_TOOLS_WRITERS_SHEET_H

#include <vector>

#include "tools/pictures/picture.h"

namespace tamsa::tools {

class contact_sheet {
   public:
    // Keeps a thumbnail of the colour picture: at most 160 pixels wide, by nearest neighbour.
    void add(const picture &p);
    bool empty() const { return thumbs_.empty(); }
    // The thumbnails so far on a dark grey ground; at least one must have been added.
    picture compose() const;

   private:
    std::vector<picture> thumbs_;
};

}  // namespace tamsa::tools

#endif
