// Every view at the side bar's width; layout_views.js says what is checked.
'use strict';

require('./layout_views')([300]);
