// The side bar gives this page the address of the conversation the user
// reads by calling pvwidget.HandleContextChange(text), possibly before the
// page's modules have run; the address waits here until they take it.
// Addresses found in the web-mail page arrive in double quotes, ones the
// user chose without.
var pvwidget = {
  address: '',
  pending: null,
  handler: null,
  HandleContextChange: function (text) {
    var address = String(text === undefined || text === null ? '' : text);
    if (address.length >= 2 && address.charAt(0) === '"' && address.charAt(address.length - 1) === '"') {
      address = address.substring(1, address.length - 1);
    }
    pvwidget.address = address;
    var shown = document.getElementById('pvContact');
    if (shown) shown.textContent = address;
    if (pvwidget.handler) {
      pvwidget.handler(address);
    } else {
      pvwidget.pending = address;
    }
  },
  // Called once by the page's script with the function that shows an address.
  ready: function (handler) {
    pvwidget.handler = handler;
    if (pvwidget.pending !== null) {
      var address = pvwidget.pending;
      pvwidget.pending = null;
      handler(address);
    }
  }
};
