// The form is laid out for the narrow "Yu Gothic UI" face at fixed sizes. Where that face is not
// installed, a face of similar width stands in, so that no label of the form is cut off.
#pragma once

void installFontSubstitutes();
