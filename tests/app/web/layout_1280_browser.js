// Every view at a desktop's width; layout_views.js says what is checked.
'use strict';

require('./layout_views')([1280]);
