// placeholder: implemented by its layer's owner
