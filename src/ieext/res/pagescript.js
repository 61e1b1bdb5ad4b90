// Put into the web-mail page by the side bar: finds the address of the
// conversation in view, and marks the web-mail frame's body when the user
// opens another message of it, so that the bar asks again. The page's own
// structure is read as it is; every step swallows its errors, so a page of
// another shape gives empty answers and never an error.

var Brantlow = window.Brantlow || {};
Brantlow.Postvane = Brantlow.Postvane || {};

Brantlow.Postvane.IEContextPicker = function () {
  this.chosenEmail = null;  // the address last chosen
  this.ownEmail = null;     // the account's own address, once read
  this.lastFrameEmail = ''; // the conversation address last seen
  this.frameDocument = null; // the web-mail frame's document, as last found
};

(function (picker) {
  // A whole class attribute, as the page writes it.
  function hasClass(element, name) {
    return element.getAttribute && element.getAttribute('class') === name;
  }

  function emailOf(element) {
    var email = element.getAttribute ? element.getAttribute('email') : null;
    return email ? String(email) : null;
  }

  function first(parent, tag) {
    var found = parent.getElementsByTagName(tag);
    return found.length > 0 ? found[0] : null;
  }

  function each(list, visit) {
    for (var i = 0; i < list.length; i++) visit(list[i]);
  }

  // Marks the frame's body; the bar watches this property.
  function signalChange(doc) {
    try {
      doc.body.postvanesearchstring = new Date().getTime();
    } catch (e) {
    }
  }

  picker.frame = function () {
    try {
      var frame = window.frames['canvas_frame'];
      var doc = frame ? frame.document : null;
      this.frameDocument = doc || null;
    } catch (e) {
      this.frameDocument = null;
    }
    return this.frameDocument;
  };

  picker.readOwnEmail = function (doc) {
    try {
      var user = doc.getElementById('guser');
      var nobr = user ? first(user, 'nobr') : null;
      var bold = nobr ? first(nobr, 'b') : null;
      if (bold) this.ownEmail = bold.innerHTML;
    } catch (e) {
    }
  };

  picker.conversationEmail = function (doc) {
    var heads = doc.getElementsByTagName('h3');
    for (var i = 0; i < heads.length; i++) {
      var spans = heads[i].getElementsByTagName('span');
      for (var j = 0; j < spans.length; j++) {
        var email = emailOf(spans[j]);
        if (email) return email;
      }
    }
    return null;
  };

  // The other participant of a conversation with oneself.
  picker.alternativeEmail = function (doc) {
    var cells = doc.getElementsByTagName('td');
    for (var i = cells.length - 1; i >= 0; i--) {
      var spans = cells[i].getElementsByTagName('span');
      for (var j = 0; j < spans.length; j++) {
        var email = emailOf(spans[j]);
        if (email && email !== this.ownEmail && hasClass(spans[j], 'gD')) return email;
      }
    }
    return null;
  };

  // Listeners are removed first, so that they are never there twice. A div
  // that refuses one is passed over: the address requests go on regardless.
  function listen(doc, className, type, handler) {
    try {
      each(doc.getElementsByTagName('div'), function (div) {
        try {
          if (!hasClass(div, className)) return;
          div.removeEventListener(type, handler, true);
          div.addEventListener(type, handler, true);
        } catch (e) {
        }
      });
    } catch (e) {
    }
  }

  picker.attachExpandHandlers = function (doc, firstView) {
    listen(doc, 'FL1GFc', 'mousedown', onSenderDown);
    listen(doc, 'HprMsc', 'mousedown', onDetailsDown);
    if (firstView) listen(doc, 'kQ hn ', 'mouseup', onCollapsedUp);
  };

  // The nearest div of the class around the event's source.
  function enclosing(event, className) {
    for (var node = event.target; node; node = node.parentNode) {
      if (node.tagName && node.tagName.toLowerCase() === 'div' && hasClass(node, className)) return node;
    }
    return null;
  }

  function current() {
    return window.pvContextPicker;
  }

  function onSenderDown(event) {
    try {
      var self = current();
      var div = enclosing(event, 'FL1GFc');
      if (!div) return;
      var email = null;
      each(div.getElementsByTagName('span'), function (span) {
        if (email === null && hasClass(span, 'gD')) email = emailOf(span) || '';
      });
      if (!email) return;
      if (email !== self.ownEmail) {
        self.chosenEmail = email;
        signalChange(div.ownerDocument);
      }
      setTimeout(function () {
        try {
          var doc = self.frame();
          if (doc) listen(doc, 'HprMsc', 'mousedown', onDetailsDown);
        } catch (e) {
        }
      }, 2000);
    } catch (e) {
    }
  }

  function onDetailsDown(event) {
    try {
      var self = current();
      var div = enclosing(event, 'HprMsc');
      if (!div) return;
      var head = null;
      each(div.getElementsByTagName('h3'), function (h3) {
        if (head === null && hasClass(h3, 'gD')) head = h3;
      });
      if (!head) return;
      var email = null;
      each(head.getElementsByTagName('span'), function (span) {
        if (email === null && !span.getAttribute('class')) email = emailOf(span) || '';
      });
      if (!email) return;
      if (email !== self.chosenEmail) {
        self.chosenEmail = email;
        signalChange(div.ownerDocument);
      }
    } catch (e) {
    }
  }

  function onCollapsedUp() {
    try {
      var self = current();
      var doc = self.frame();
      if (doc) self.attachExpandHandlers(doc, false);
    } catch (e) {
    }
  }

  picker.getActiveEmail = function () {
    var doc = this.frame();
    if (!doc) return '';
    if (this.ownEmail === null) this.readOwnEmail(doc);
    var email = this.conversationEmail(doc);
    if (!email) {
      this.lastFrameEmail = '';
      return '';
    }
    if (email !== this.lastFrameEmail) {
      this.attachExpandHandlers(doc, true);
      this.lastFrameEmail = email;
    }
    if (email === this.ownEmail) {
      email = this.alternativeEmail(doc);
      if (!email) return '';
    }
    this.chosenEmail = '"' + email + '"';
    return this.chosenEmail;
  };
})(Brantlow.Postvane.IEContextPicker.prototype);

var pvContextPicker = window.pvContextPicker || new Brantlow.Postvane.IEContextPicker();

// The address of the conversation in view, in double quotes, or "".
function PostvaneGetActiveEmail() {
  try {
    return pvContextPicker.getActiveEmail();
  } catch (e) {
    return '';
  }
}

// The address last chosen (undefined before the first choice).
function PostvaneGetActiveContextEmail() {
  try {
    return pvContextPicker.chosenEmail === null ? undefined : pvContextPicker.chosenEmail;
  } catch (e) {
    return undefined;
  }
}
