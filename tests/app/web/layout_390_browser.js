// Every view at a phone's width; layout_views.js says what is checked.
'use strict';

require('./layout_views')([390]);
